// A mutex for one-time initialisations that may run Python code while held. Waiting for it
// releases the interpreter lock (the holder may need it to finish), and re-entry from the
// holding thread raises instead of deadlocking.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace torvex {

class OnceMutex {
 public:
  // False with RuntimeError set when the calling thread already holds it.
  bool acquire() noexcept {
    if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
      PyErr_SetString(PyExc_RuntimeError, "re-entrant one-time initialisation");
      return false;
    }
    if (!m_.try_lock()) {
      Py_BEGIN_ALLOW_THREADS;
      m_.lock();
      Py_END_ALLOW_THREADS;
    }
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return true;
  }
  void release() noexcept {
    owner_.store(std::thread::id{}, std::memory_order_relaxed);
    m_.unlock();
  }

 private:
  std::mutex m_;
  std::atomic<std::thread::id> owner_{};
};

}  // namespace torvex
