// Scoped ownership of the channel manager's mutexes and descriptors, used
// inside the implementation so that every early return releases what it holds.
#pragma once

#include <pthread.h>
#include <unistd.h>

// Holds a mutex from construction to destruction; unlock() releases it early.
class CcmLockGuard {
 public:
  explicit CcmLockGuard(pthread_mutex_t &m) : m_(&m) { pthread_mutex_lock(m_); }
  ~CcmLockGuard() { unlock(); }
  void unlock() {
    if (m_) pthread_mutex_unlock(m_);
    m_ = nullptr;
  }
  CcmLockGuard(const CcmLockGuard &) = delete;
  CcmLockGuard &operator=(const CcmLockGuard &) = delete;

 private:
  pthread_mutex_t *m_;
};

// Owns a descriptor until release() hands it on; closes it otherwise.
class CcmFd {
 public:
  explicit CcmFd(int fd = -1) : fd_(fd) {}
  ~CcmFd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  CcmFd(const CcmFd &) = delete;
  CcmFd &operator=(const CcmFd &) = delete;

 private:
  int fd_;
};
