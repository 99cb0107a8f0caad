// The client's side of the registration exchange: the pid datagram to
// 127.0.0.1:kRegistrationPort and the daemon's reply (format in
// common/registration.h).
//
// Every attempt goes out from a fresh socket connected to the daemon's port,
// so that
//  - the kernel reports a port nobody listens on (ECONNREFUSED) at once,
//    instead of a wait for a reply that cannot come;
//  - the kernel drops datagrams from any other sender;
//  - each reply is known to answer one particular attempt.
//
// Attempts are repeated with backoff (100 ms, then doubling) until a reply
// comes, within kReplyTimeoutMs in all: a datagram lost while many processes
// start at once must not leave a process unregistered.
//
// Which reply counts: the daemon answers every datagram it receives with a
// fresh key and releases the rings of the pid's earlier key. It reads its
// port in arrival order, so the last attempt it has answered decides which
// rings live, and an answer to an attempt older than the newest one sent is
// about to be overtaken (its rings released) unless that newer datagram was
// lost. The exchange therefore accepts only the reply to its newest attempt;
// an older one is set aside, and a newer attempt follows on the usual
// schedule if the newest stays unanswered. Once the newest is answered, no
// datagram of ours remains that the daemon has not answered, so the accepted
// key stays valid.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace tovrel {

enum class ExchangeOutcome {
  kReply,          // the reply to the newest attempt is in the buffer
  kNoDaemon,       // nobody listens on the registration port
  kTimedOut,       // the daemon did not answer within the bound
  kSocketFailed,   // a socket could not be created
  kSendFailed,     // a datagram could not be sent
  kReceiveFailed,  // receiving failed for another reason
};

// Runs the exchange for `pid` on the calling thread and returns when it is
// decided. On kReply, `reply` (room for `capacity` bytes) holds the reply
// and `*length` its size. Every socket is closed on return; each is
// close-on-exec while it lives.
ExchangeOutcome ExchangeRegistration(int32_t pid, uint8_t* reply, size_t capacity, size_t* length);

}  // namespace tovrel
