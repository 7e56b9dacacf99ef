// Program entry of ZembrikMD8, the mediator.
#include "common/messages.h"
#include "common/texts.h"
#include "mediator/zembrik_md8.h"

int main() {
    RegisterProgramResources();
    LoadTexts();
    ZembrikMD8 mediator;
    // Another mediator runs, or the service's table is gone: nothing to keep.
    if (!mediator.IsReady()) return 1;
    return static_cast<int>(mediator.Run());
}
