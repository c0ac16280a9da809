#include "driver/step.h"

namespace zem {
const StateTable kSmtpAuthStates = {nullptr, 0};
} // namespace zem
