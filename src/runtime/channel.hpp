// An unbounded multi-producer, single-consumer channel.
//
// send() never waits and fails only when the receiver is gone (the value is handed back).
// The receiver's recv op yields the next value, or nothing once every sender is gone and the
// queue is empty. try_recv() never waits.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "runtime/waker.hpp"

namespace varnex::rt {

template <class T>
class Sender;
template <class T>
class Receiver;

namespace detail {

template <class T>
struct ChannelState {
  std::mutex mutex;
  std::deque<T> queue;
  size_t senders = 1;
  bool receiver_alive = true;
  Waker receiver_waker;

  void wake_receiver(std::unique_lock<std::mutex>& lock) {
    Waker waker = std::move(receiver_waker);
    lock.unlock();
    if (waker) waker->wake();
  }
};

}  // namespace detail

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel();

template <class T>
class Sender {
 public:
  Sender(const Sender& other) : state_(other.state_) {
    std::lock_guard lock(state_->mutex);
    ++state_->senders;
  }
  Sender(Sender&& other) noexcept = default;
  Sender& operator=(const Sender&) = delete;
  Sender& operator=(Sender&&) = delete;
  ~Sender() {
    if (!state_) return;
    std::unique_lock lock(state_->mutex);
    if (--state_->senders == 0) state_->wake_receiver(lock);
  }

  // Queues value, or returns it when the receiver is gone.
  std::optional<T> send(T value) {
    std::unique_lock lock(state_->mutex);
    if (!state_->receiver_alive) return std::optional<T>(std::move(value));
    state_->queue.push_back(std::move(value));
    state_->wake_receiver(lock);
    return std::nullopt;
  }

  bool receiver_alive() const {
    std::lock_guard lock(state_->mutex);
    return state_->receiver_alive;
  }

 private:
  friend std::pair<Sender<T>, Receiver<T>> make_channel<T>();
  explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}
  std::shared_ptr<detail::ChannelState<T>> state_;
};

enum class TryRecvError { Empty, Closed };

template <class T>
class Receiver {
 public:
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&&) = delete;
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() { close(); }

  // The value, or why there is none (nothing queued, or nothing queued and no sender left).
  std::optional<T> try_recv(TryRecvError* why = nullptr) {
    std::lock_guard lock(state_->mutex);
    if (!state_->queue.empty()) {
      T value = std::move(state_->queue.front());
      state_->queue.pop_front();
      return value;
    }
    if (why) *why = state_->senders == 0 ? TryRecvError::Closed : TryRecvError::Empty;
    return std::nullopt;
  }

  // Op: the next value (engaged), or an empty optional once the channel is closed and drained.
  class RecvOp {
   public:
    using Output = std::optional<T>;
    explicit RecvOp(Receiver& receiver) : receiver_(receiver) {}
    std::optional<Output> poll(const Waker& waker) {
      auto& st = *receiver_.state_;
      std::optional<Output> ready;
      std::lock_guard lock(st.mutex);
      if (!st.queue.empty()) {
        ready.emplace(std::in_place, std::move(st.queue.front()));
        st.queue.pop_front();
      } else if (st.senders == 0) {
        ready.emplace();  // closed and drained
      } else {
        st.receiver_waker = waker;
      }
      return ready;
    }

   private:
    Receiver& receiver_;
  };
  RecvOp recv_op() { return RecvOp(*this); }

 private:
  friend std::pair<Sender<T>, Receiver<T>> make_channel<T>();
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}
  void close() {
    if (!state_) return;
    std::deque<T> dropped;
    {
      std::lock_guard lock(state_->mutex);
      state_->receiver_alive = false;
      state_->receiver_waker.reset();
      dropped.swap(state_->queue);
    }
    state_.reset();
  }
  std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
  auto state = std::make_shared<detail::ChannelState<T>>();
  return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace varnex::rt
