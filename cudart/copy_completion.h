// The completion of one synchronous device-to-host copy sent as several
// no-wait chunks, so that the response loop copies chunk i into the caller's
// buffer while chunk i + 1 is still on its way. The caller waits for every
// chunk it sent and gets the first failure among them.
//
// Each chunk's request carries a CopyTicket (in its AnswerSink). The response
// hook marks the ticket answered, with the chunk's failure if any; the ticket
// counts its chunk done when the request is released, which every request
// is, answered or not (a request refused before it is written, or orphaned
// when the response loop ends, fails its chunk with kRtUnknown).
#pragma once

#include <semaphore.h>

#include <atomic>
#include <memory>

namespace cudart {

class CopyCompletion {
 public:
  // The caller holds one count of its own until Wait.
  CopyCompletion() { sem_init(&done_, 0, 0); }
  ~CopyCompletion() { sem_destroy(&done_); }
  CopyCompletion(const CopyCompletion&) = delete;
  CopyCompletion& operator=(const CopyCompletion&) = delete;

  // A ticket for one more chunk; it must be released before Wait can return.
  std::shared_ptr<class CopyTicket> NewTicket();
  // Keeps `status` unless an earlier chunk has failed already.
  void Fail(int status);
  // Gives up the caller's count and waits until every ticket is released.
  // Returns the first failure, 0 when none.
  int Wait();

 private:
  friend class CopyTicket;
  void ChunkDone();

  std::atomic<int> outstanding_{1};
  std::atomic<int> first_error_{0};
  sem_t done_;  // posted once, when outstanding_ reaches 0
};

class CopyTicket {
 public:
  explicit CopyTicket(CopyCompletion* completion) : completion_(completion) {}
  ~CopyTicket();
  CopyTicket(const CopyTicket&) = delete;
  CopyTicket& operator=(const CopyTicket&) = delete;

  // From the response hook: the chunk's answer has been handled, with
  // `status` (0 when its data is in place).
  void Answered(int status);

 private:
  CopyCompletion* const completion_;
  bool answered_ = false;  // written and read by the thread that releases the request
};

}  // namespace cudart
