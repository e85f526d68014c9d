#include "serial/serial_link.h"

namespace tagris {

SerialLink::SerialLink() = default;
SerialLink::~SerialLink() = default;

}  // namespace tagris
