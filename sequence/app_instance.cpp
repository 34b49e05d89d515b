#include "sequence/app_instance.h"

namespace app {

HINSTANCE app_instance = nullptr;

}  // namespace app
