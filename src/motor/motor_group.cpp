#include "motor/motor_group.hpp"

#include <cstdio>
#include <utility>

#include "can/can_device_async.hpp"
#include "motor/config_commands.hpp"
#include "runtime/diagnostics.hpp"
#include "runtime/runtime.hpp"

namespace varnex::motor {

Result<std::unique_ptr<Motor>> Motor::create(const std::string& interface, uint32_t host,
                                             ReceiveOptions options, uint32_t bitrate) {
  // The receive task takes the error frames that say a bus state, to report its changes.
  Result<std::shared_ptr<CanDeviceAsync>> device =
      CanDeviceAsync::create(interface, "Motor", std::nullopt, kStateErrorClasses, bitrate);
  if (!device) return std::move(device).error();
  return over(link_to(std::move(device).value()), host, options);
}

std::unique_ptr<Motor> Motor::over(std::shared_ptr<CanLink> link, uint32_t host,
                                   ReceiveOptions options) {
  return std::unique_ptr<Motor>(new Motor(std::move(link), host, options));
}

Motor::Motor(std::shared_ptr<CanLink> link, uint32_t host, ReceiveOptions options)
    : can_(std::move(link)), devices_(std::make_shared<DeviceList>()), host_(host) {
  // Read here, not in the task: the reading opens a netlink socket for its time, and the group
  // returns holding only its own.
  receive_task_ =
      rt::spawn(receive_feedback(can_, devices_, board_, can_->link_reading(), options));
}

std::optional<std::string> slot_report(uint8_t requested, uint8_t stored, uint32_t node_id,
                                       std::optional<uint32_t> earlier_node) {
  if (requested == stored && !earlier_node) return std::nullopt;
  char text[320];
  int n = std::snprintf(text, sizeof text, "[Motor] add_device(slot_index=%u, node_id=0x%X): ",
                        static_cast<unsigned>(requested), static_cast<unsigned>(node_id));
  if (requested != stored) {
    n += std::snprintf(text + n, sizeof text - n,
                       "the broadcast frame has slots 0 to 3; the device uses slot %u",
                       static_cast<unsigned>(stored));
  }
  if (earlier_node) {
    const unsigned slot = stored;
    const unsigned earlier = *earlier_node;
    n += std::snprintf(text + n, sizeof text - n,
                       "%sslot %u is already used by driver 0x%X; the broadcast frame now carries "
                       "0x%X's target there, while Motor.set_target(%u, ...) and "
                       "Motor.get_feedback(%u) still address 0x%X",
                       requested != stored ? "; " : "", slot, earlier,
                       static_cast<unsigned>(node_id), slot, slot, earlier);
  }
  return std::string(text);
}

Motor::~Motor() {
  end_broadcast();
  // Takes effect at the task's next suspension. Never waited for: the task may be blocked in a
  // write to a full standard error pipe for as long as nobody reads it.
  receive_task_.abort();
}

void Motor::close() {
  // The broadcast's last frame goes out before the device closes.
  end_broadcast();
  // The receive task goes first: once the device is closed it would only find the link silent.
  receive_task_.abort();
  can_->close();
}

void Motor::end_broadcast() {
  std::lock_guard lock(broadcast_mutex_);
  if (!broadcast_) return;
  broadcast_->run.request_stop();
  broadcast_->run.ended_event().wait_until(std::nullopt);
  broadcast_.reset();
}

Result<TimerHandle> Motor::start_broadcast(const BroadcastOptions& options, std::uint64_t task_id,
                                           TaskManager& registry) {
  std::lock_guard lock(broadcast_mutex_);
  if (broadcast_ && !broadcast_->run.stop_requested()) {
    return Error::runtime("a broadcast is already running on this Motor (TimerHandle id=" +
                          std::to_string(broadcast_id_) + "); stop it first");
  }
  if (broadcast_) broadcast_->run.ended_event().wait_until(std::nullopt);  // its last frame
  broadcast_.reset();
  if (Status open = open_status(); !open) return std::move(open).error();
  can_->keep_kernel_queue_short();
  Result<TimerHandle> handle = motor::start_broadcast(
      BroadcastParts{can_, board_, devices_, counters_, host_}, options, task_id, registry);
  if (!handle) return handle;
  broadcast_ = handle->shared_run();
  broadcast_id_ = task_id;
  return handle;
}

Result<std::shared_ptr<Device>> Motor::add_device(uint8_t slot, uint32_t node_id, FocMode mode) {
  if (Status opened = queue_open_session(*can_, host_, destination_of(node_id)); !opened) {
    return std::move(opened).error();
  }
  std::shared_ptr<Device> device = Device::create(slot, node_id, mode, can_, host_, board_);
  if (Status set = device->set_foc_mode(mode); !set) return std::move(set).error();
  if (Status ended = device->exit_configure(); !ended) return std::move(ended).error();
  std::optional<uint32_t> earlier;
  if (std::shared_ptr<Device> other = devices_->find_by_slot(device->slot_index())) {
    earlier = other->node_id();
  }
  // Registered only now: a driver answering between its configuration frames is not yet known.
  devices_->append(device, *board_);
  if (std::optional<std::string> report =
          slot_report(slot, device->slot_index(), node_id, earlier)) {
    write_stderr(*report + "\n");
  }
  return device;
}

Status Motor::broadcast() {
  // The board keeps the frame current as targets are set (the later device on a shared slot
  // wins, an unoccupied slot is 0).
  const FrameData frame = board_->frame();
  Status sent = can_->send(host_, std::vector<uint8_t>(frame.begin(), frame.end()));
  if (sent) board_->note_sent();
  return sent;
}

void Motor::set_target(uint8_t slot, float value) {
  if (std::shared_ptr<Device> device = devices_->find_by_slot(slot)) device->set_target(value);
}

std::optional<Feedback> Motor::get_feedback(uint8_t slot) {
  std::shared_ptr<Device> device = devices_->find_by_slot(slot);
  if (!device) return std::nullopt;
  return device->get_feedback_blocking();
}

Status Motor::enter_configure_broadcast() {
  return queue_open_session(*can_, host_, kBroadcastDestination);
}

Status Motor::exit_configure_broadcast() {
  return queue_end_session(*can_, host_, kBroadcastDestination);
}

Status Motor::calibrate_broadcast() {
  return queue_calibration_and_wait(*can_, host_, kBroadcastDestination);
}

Status Motor::set_foc_mode_broadcast(FocMode mode) {
  Status queued = queue_set_foc_mode(*can_, host_, kBroadcastDestination, mode);
  if (queued) {
    for (const std::shared_ptr<Device>& device : devices_->snapshot())
      device->note_mode_given(mode);
  }
  return queued;
}

}  // namespace varnex::motor
