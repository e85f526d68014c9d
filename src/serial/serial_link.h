#pragma once
// The serial link: the port and the receive and transmit threads with the buffers
// they share with the main thread.
#include <cstdint>

namespace tagris {

class SerialLink {
 public:
  SerialLink();
  ~SerialLink();
};

}  // namespace tagris
