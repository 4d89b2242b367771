// The value of an op or a task that produces nothing.
#pragma once

namespace varnex::rt {

struct Unit {};

}  // namespace varnex::rt
