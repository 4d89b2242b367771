#include "tasks/timer_schedule.hpp"

#include <algorithm>
#include <utility>

namespace varnex {

namespace {

// std::push_heap keeps the largest first; the earliest deadline must be.
bool later(const TimerSlot& a, const TimerSlot& b) noexcept { return a->due > b->due; }

}  // namespace

void TimerSchedule::add(TimerSlot timer) {
  waiting_.push_back(std::move(timer));
  std::push_heap(waiting_.begin(), waiting_.end(), later);
}

TimerSlot TimerSchedule::remove(const ScheduledTimer* timer) {
  auto it = std::find_if(waiting_.begin(), waiting_.end(),
                         [timer](const TimerSlot& t) { return t.get() == timer; });
  if (it == waiting_.end()) return nullptr;
  TimerSlot out = std::move(*it);
  waiting_.erase(it);
  std::make_heap(waiting_.begin(), waiting_.end(), later);
  return out;
}

bool TimerSchedule::holds_only(const TimerBatch& batch) const noexcept {
  return waiting_.empty() && batches_.size() == 1 && batches_.front().get() == &batch &&
         batch.queue.size() == 1;
}

bool TimerSchedule::stuck(const TimerBatch& batch, rt::Instant now) const noexcept {
  return batch.calling && now - batch.since >= kHandOverAfter;
}

std::optional<rt::Instant> TimerSchedule::wake_at(rt::Instant now) const {
  std::optional<rt::Instant> at;
  auto earlier = [&at](rt::Instant t) {
    if (!at || t < *at) at = t;
  };
  if (!waiting_.empty()) earlier(waiting_.front()->due);
  for (const BatchRef& b : batches_) {
    if (b->queue.empty()) continue;
    const rt::Instant check = b->since + kHandOverAfter;
    // An entering batch cannot be helped (another thread would wait for the same gate); it is
    // looked at again in case it has begun by then.
    if (b->calling || check > now) earlier(check);
  }
  return at;
}

TimerBatch* TimerSchedule::open_batch_for(CallGate* gate, rt::Instant now) noexcept {
  for (auto it = batches_.rbegin(); it != batches_.rend(); ++it) {
    if ((*it)->gate == gate && !stuck(**it, now)) return it->get();
  }
  return nullptr;
}

std::vector<BatchRef> TimerSchedule::take_due(rt::Instant now) {
  std::vector<TimerSlot> taken;
  while (!waiting_.empty() && waiting_.front()->due <= now) {
    std::pop_heap(waiting_.begin(), waiting_.end(), later);
    taken.push_back(std::move(waiting_.back()));
    waiting_.pop_back();
  }
  for (const BatchRef& b : batches_) {
    if (!stuck(*b, now)) continue;
    for (TimerSlot& t : b->queue) taken.push_back(std::move(t));
    b->queue.clear();
  }
  std::vector<BatchRef> started;
  for (TimerSlot& t : taken) {
    TimerBatch* batch = open_batch_for(t->gate, now);
    if (batch == nullptr) {
      started.push_back(std::make_shared<TimerBatch>(t->gate, now));
      batches_.push_back(started.back());
      batch = started.back().get();
    }
    batch->queue.push_back(std::move(t));
  }
  return started;
}

bool TimerSchedule::begin(TimerBatch& batch, rt::Instant now) {
  batch.calling = true;
  batch.since = now;
  return !batch.queue.empty();
}

TimerSlot TimerSchedule::next(TimerBatch& batch, rt::Instant now) {
  if (batch.queue.empty()) {
    std::erase_if(batches_, [&batch](const BatchRef& b) { return b.get() == &batch; });
    return nullptr;
  }
  TimerSlot t = std::move(batch.queue.front());
  batch.queue.pop_front();
  batch.since = now;
  return t;
}

}  // namespace varnex
