// Critical section: re-entrant for the owning thread, like the platform's.
#pragma once

#include <mutex>

namespace vex::platform {

class CriticalSection {
public:
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  bool TryEnter() { return mutex_.try_lock(); }

  // So that std::lock_guard and std::unique_lock work on it.
  void lock() { Enter(); }
  void unlock() { Leave(); }

private:
  std::recursive_mutex mutex_;
};

} // namespace vex::platform
