#include "ws/close_code.hpp"

namespace velmora::ws {

bool is_sendable_close_code(uint32_t code) {
  if (code >= 3000 && code <= 4999) return true;
  if (code >= 1000 && code <= 1003) return true;
  return code >= 1007 && code <= 1014;
}

}  // namespace velmora::ws
