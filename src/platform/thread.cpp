#include <cstring>
#include <thread>

#include "platform/platform.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#if defined(__linux__)
#include <sched.h>
#endif
#endif

namespace lyr::platform {

#if defined(_WIN32)
static_assert(sizeof(HANDLE) <= 16);

unsigned long __stdcall Thread::Entry(void* self) {
  Thread* t = static_cast<Thread*>(self);
  t->fn_(t->arg_);
  return 0;
}

bool Thread::Start(void (*fn)(void*), void* arg) noexcept {
  Join();
  fn_ = fn;
  arg_ = arg;
  HANDLE h = ::CreateThread(nullptr, 0, &Thread::Entry, this, 0, nullptr);
  if (!h) return false;
  std::memcpy(handle_, &h, sizeof h);
  running_ = true;
  return true;
}

void Thread::Join() noexcept {
  if (!running_) return;
  HANDLE h;
  std::memcpy(&h, handle_, sizeof h);
  ::WaitForSingleObject(h, INFINITE);
  ::CloseHandle(h);
  running_ = false;
}
#else
static_assert(sizeof(pthread_t) <= 16);

void* Thread::Entry(void* self) {
  Thread* t = static_cast<Thread*>(self);
  t->fn_(t->arg_);
  return nullptr;
}

bool Thread::Start(void (*fn)(void*), void* arg) noexcept {
  Join();
  fn_ = fn;
  arg_ = arg;
  pthread_t h;
  if (::pthread_create(&h, nullptr, &Thread::Entry, this) != 0) return false;
  std::memcpy(handle_, &h, sizeof h);
  running_ = true;
  return true;
}

void Thread::Join() noexcept {
  if (!running_) return;
  pthread_t h;
  std::memcpy(&h, handle_, sizeof h);
  ::pthread_join(h, nullptr);
  running_ = false;
}
#endif

uint32_t ProcessorCount() noexcept {
#if defined(__linux__)
  // The processors this process may use, which a container or an affinity mask can make fewer
  // than the machine has.
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return uint32_t(n);
  }
#endif
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

}  // namespace lyr::platform
