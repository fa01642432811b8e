// Which backend a platform library stand-in serves: one a test installed, else the one chosen
// once, at the first call, by the library's own rule (an environment variable, a real device).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

namespace platform {

template <typename Backend> class BackendChoice {
  public:
    using Chooser = std::unique_ptr<Backend> (*)();
    constexpr explicit BackendChoice(Chooser choose) : choose_(choose) {}

    // `backend` (not owned) serves every later call; nullptr goes back to the chosen one.
    void install(Backend *backend) { installed_.store(backend, std::memory_order_release); }

    Backend &get() {
        if (Backend *b = installed_.load(std::memory_order_acquire)) return *b;
        std::call_once(once_, [this] { chosen_ = choose_(); });
        return *chosen_;
    }

  private:
    Chooser choose_;
    std::atomic<Backend *> installed_{nullptr};
    std::once_flag once_;
    std::unique_ptr<Backend> chosen_;
};

} // namespace platform
