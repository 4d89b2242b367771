// A group's registered devices in registration order: only appended to, never shrunk. Shared by
// the group, its receive task and its broadcast. Its plain mutex is held only for a scan, a copy
// or an append (which takes the board's lock inside it), never across a wait.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "motor/device.hpp"
#include "motor/target_board.hpp"

namespace varnex::motor {

class DeviceList {
 public:
  // Appends `device` and lets it claim its slot on the group's board, under the list lock, so
  // that the slot's owner follows registration order.
  void append(std::shared_ptr<Device> device, TargetBoard& board) {
    std::lock_guard lock(mutex_);
    board.claim_slot(*device);
    devices_.push_back(std::move(device));
  }

  // The first registered device whose stored slot equals `slot`, compared as given: a request
  // for slot 7 never finds the device whose slot 7 was stored as 3.
  std::shared_ptr<Device> find_by_slot(uint8_t slot) const {
    std::lock_guard lock(mutex_);
    for (const auto& device : devices_) {
      if (device->slot_index() == slot) return device;
    }
    return nullptr;
  }

  // The first registered device with this node id (an exact 32-bit comparison).
  std::shared_ptr<Device> find_by_node(uint32_t node_id) const {
    std::lock_guard lock(mutex_);
    for (const auto& device : devices_) {
      if (device->node_id() == node_id) return device;
    }
    return nullptr;
  }

  std::vector<std::shared_ptr<Device>> snapshot() const {
    std::lock_guard lock(mutex_);
    return devices_;
  }

  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return devices_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Device>> devices_;
};

}  // namespace varnex::motor
