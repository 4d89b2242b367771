#include "can/can_filter.hpp"

#include <cstdio>
#include <string>

namespace varnex {
namespace {

std::string hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::string at(std::size_t index) { return "filters[" + std::to_string(index) + "]: "; }

}  // namespace

Result<std::vector<CanFilter>> make_can_filters(std::span<const CanFilterSpec> specs) {
  if (specs.size() > kMaxCanFilters) {
    return Error::value("filters: at most " + std::to_string(kMaxCanFilters) + " filters, got " +
                        std::to_string(specs.size()));
  }
  std::vector<CanFilter> filters;
  filters.reserve(specs.size());
  for (std::size_t i = 0; i < specs.size(); ++i) {
    const CanFilterSpec& spec = specs[i];
    if (spec.can_id > CAN_EFF_MASK) {
      return Error::value(at(i) + "can_id must be 0 to 0x1FFFFFFF (29 bits), got " +
                          hex(spec.can_id));
    }
    if (spec.can_mask > CAN_EFF_MASK) {
      return Error::value(at(i) + "can_mask must be 0 to 0x1FFFFFFF (29 bits), got " +
                          hex(spec.can_mask));
    }
    // A standard filter with a wider id could never match; that is a mistake, not a filter.
    if (spec.extended == false && spec.can_id > CAN_SFF_MASK) {
      return Error::value(at(i) +
                          "can_id must be 0 to 0x7FF (11 bits) for a standard filter "
                          "(extended=False), got " +
                          hex(spec.can_id));
    }
    CanFilter::Format format = CanFilter::Format::Any;
    if (spec.extended)
      format = *spec.extended ? CanFilter::Format::Extended : CanFilter::Format::Standard;
    filters.push_back(
        {static_cast<uint32_t>(spec.can_id), static_cast<uint32_t>(spec.can_mask), format});
  }
  return filters;
}

std::vector<can_filter> kernel_filters(std::span<const CanFilter> filters) {
  std::vector<can_filter> out;
  out.reserve(filters.size());
  for (const CanFilter& f : filters) {
    can_filter k{f.can_id, f.can_mask};
    switch (f.format) {
      case CanFilter::Format::Any:
        break;
      case CanFilter::Format::Standard:
        k.can_mask |= CAN_EFF_FLAG;  // the flag must be clear
        break;
      case CanFilter::Format::Extended:
        k.can_id |= CAN_EFF_FLAG;  // the flag must be set
        k.can_mask |= CAN_EFF_FLAG;
        break;
    }
    out.push_back(k);
  }
  return out;
}

}  // namespace varnex
