#include "driver/step.h"

namespace zem {
const StateTable kPop3SessionStates = {nullptr, 0};
} // namespace zem
