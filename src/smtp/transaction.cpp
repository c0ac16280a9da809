#include "driver/step.h"

namespace zem {
const StateTable kSmtpSendStates = {nullptr, 0};
} // namespace zem
