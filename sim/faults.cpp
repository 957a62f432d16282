#include "sim/faults.h"

namespace sim {

bool TakeFault(int& count)
{
    if (count <= 0) {
        return false;
    }
    if (count != kAlways) {
        --count;
    }
    return true;
}

}  // namespace sim
