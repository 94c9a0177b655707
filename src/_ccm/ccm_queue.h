// The one queue discipline of the channel manager: a {head, tail} pair over
// elements linked through their own `nxt` field. Emptiness is judged by
// `head` alone, because consumers that take the head leave `tail` behind.
// None of these functions locks; the caller holds the lock that guards the
// queue.
#pragma once

template <typename T>
struct ccm_queue_t {
  T *head;
  T *tail;
};

// FIFO append at the tail.
template <typename T>
inline void ccmq_append(ccm_queue_t<T> &q, T *e) {
  e->nxt = nullptr;
  if (q.head) q.tail->nxt = e; else q.head = e;
  q.tail = e;
}

// Stack push in front of the head (msgq_inuse, msg_freeq); `tail` is set only
// when the list was empty.
template <typename T>
inline void ccmq_push(ccm_queue_t<T> &q, T *e) {
  e->nxt = q.head;
  if (!q.head) q.tail = e;
  q.head = e;
}

// Takes the head off a stack (msg_freeq): tail becomes null when emptied.
template <typename T>
inline T *ccmq_pop(ccm_queue_t<T> &q) {
  T *e = q.head;
  if (!e) return nullptr;
  q.head = e->nxt;
  e->nxt = nullptr;
  if (!q.head) q.tail = nullptr;
  return e;
}

// Removes `e` wherever it is in the list; an element not in it is left alone.
// Returns true when it was found.
template <typename T>
inline bool ccmq_unlink(ccm_queue_t<T> &q, T *e) {
  if (!e || !q.head) return false;
  if (q.head == e) {
    q.head = e->nxt;
    if (!q.head) q.tail = nullptr;
    return true;
  }
  for (T *prev = q.head; prev->nxt; prev = prev->nxt) {
    if (prev->nxt == e) {
      prev->nxt = e->nxt;
      if (q.tail == e) q.tail = prev;
      return true;
    }
  }
  return false;
}

// Consumer's take of a FIFO head: `head` moves on, `tail` is left as it is
// (appenders judge emptiness by `head`). The element keeps its `nxt`.
template <typename T>
inline T *ccmq_take_head(ccm_queue_t<T> &q) {
  T *e = q.head;
  if (e) q.head = e->nxt;
  return e;
}

template <typename T>
inline void ccmq_clear(ccm_queue_t<T> &q) { q.head = q.tail = nullptr; }
