#include "driver/step.h"

namespace zem {
const StateTable kPop3RetrievalStates = {nullptr, 0};
} // namespace zem
