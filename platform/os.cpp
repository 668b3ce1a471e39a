#include "platform/os.h"

namespace kzp {

static Os* g_os = nullptr;

Os& TheOs() {
    return *g_os;
}

void SetOs(Os* os) {
    g_os = os;
}

}  // namespace kzp
