#include "node/kernel_runtime/fiber.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
// zantu_fiber_switch(void** save_sp, void* load_sp): pushes the System V
// callee-saved registers, stores the stack pointer, loads the other one and
// pops its registers; `ret` resumes it. A new context's stack is laid out as
// if it had been suspended here, returning into zantu_fiber_start with the
// entry in r12 and its argument in rbx.
asm(R"(
  .text
  .p2align 4
  .globl zantu_fiber_switch
  .hidden zantu_fiber_switch
  .type zantu_fiber_switch, @function
zantu_fiber_switch:
  pushq %rbp
  pushq %rbx
  pushq %r12
  pushq %r13
  pushq %r14
  pushq %r15
  movq %rsp, (%rdi)
  movq %rsi, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rbx
  popq %rbp
  ret
  .size zantu_fiber_switch, .-zantu_fiber_switch

  .p2align 4
  .globl zantu_fiber_start
  .hidden zantu_fiber_start
  .type zantu_fiber_start, @function
zantu_fiber_start:
  movq %rbx, %rdi
  callq *%r12
  ud2
  .size zantu_fiber_start, .-zantu_fiber_start
)");

extern "C" void zantu_fiber_switch(void** save_sp, void* load_sp);
extern "C" void zantu_fiber_start();
#endif

namespace zantu {

FiberStack::FiberStack(size_t bytes) {
  if (bytes == 0) return;  // a context that runs on a stack of its own already
  const size_t total = kGuardBytes + (bytes + 4095) / 4096 * 4096;
  void* p = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK,
                 -1, 0);
  if (p == MAP_FAILED) return;
  if (mprotect(p, kGuardBytes, PROT_NONE) != 0) {
    munmap(p, total);
    return;
  }
  base_ = static_cast<char*>(p);
  size_ = total - kGuardBytes;
}

FiberStack::~FiberStack() {
  if (base_ != nullptr) munmap(base_, size_ + kGuardBytes);
}

#if defined(__x86_64__)

void MakeFiberContext(FiberContext* context, const FiberStack& stack, void (*entry)(void*), void* arg) {
  // The top is 16-aligned; after the seven words below are popped the stack
  // pointer is 16-aligned again, as zantu_fiber_start's call needs.
  const uintptr_t top = reinterpret_cast<uintptr_t>(stack.bottom() + stack.size()) & ~uintptr_t{15};
  auto* words = reinterpret_cast<uintptr_t*>(top - 72);
  std::memset(words, 0, 72);
  words[3] = reinterpret_cast<uintptr_t>(entry);               // r12
  words[4] = reinterpret_cast<uintptr_t>(arg);                 // rbx
  words[6] = reinterpret_cast<uintptr_t>(&zantu_fiber_start);  // return address
  context->sp = words;
}

void SwitchFiber(FiberContext* from, const FiberContext* to) { zantu_fiber_switch(&from->sp, to->sp); }

#else

namespace {
void StartFromHalves(unsigned int entry_lo, unsigned int entry_hi, unsigned int arg_lo, unsigned int arg_hi) {
  auto entry = reinterpret_cast<void (*)(void*)>((uintptr_t{entry_hi} << 32) | entry_lo);
  entry(reinterpret_cast<void*>((uintptr_t{arg_hi} << 32) | arg_lo));
}
}  // namespace

void MakeFiberContext(FiberContext* context, const FiberStack& stack, void (*entry)(void*), void* arg) {
  getcontext(&context->uc);
  context->uc.uc_stack.ss_sp = stack.bottom();
  context->uc.uc_stack.ss_size = stack.size();
  context->uc.uc_link = nullptr;
  const auto e = reinterpret_cast<uintptr_t>(entry);
  const auto a = reinterpret_cast<uintptr_t>(arg);
  makecontext(&context->uc, reinterpret_cast<void (*)()>(&StartFromHalves), 4, static_cast<unsigned int>(e),
              static_cast<unsigned int>(e >> 32), static_cast<unsigned int>(a), static_cast<unsigned int>(a >> 32));
}

void SwitchFiber(FiberContext* from, const FiberContext* to) { swapcontext(&from->uc, &to->uc); }

#endif

}  // namespace zantu
