// SignalsBlocked: while it lives, the calling thread blocks every signal, so a thread started
// meanwhile inherits a full mask and never runs the host's signal handlers; the thread's own
// mask comes back when it goes. The library's helper threads are started under one.
#pragma once

#include <pthread.h>
#include <signal.h>

namespace qm {

class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t old_;
};

}  // namespace qm
