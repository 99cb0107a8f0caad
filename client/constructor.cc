// The load-time initialiser: the dynamic loader runs every entry of the
// library's initialiser array when it initialises libtovrel, so the process is
// registered before the application can make its first call.
#include "client/tovrel.h"

extern "C" TOVREL_EXPORT void tovrel_init() { CudaTovrel::Initialize(); }

namespace {

__attribute__((section(".init_array"), used)) void (*tovrel_init_entry)() = tovrel_init;

}  // namespace
