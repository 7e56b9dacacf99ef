// Program entry of ZembrikService.
#include <cstdio>
#include <string>

#include "common/event_log.h"
#include "common/messages.h"
#include "common/texts.h"
#include "pal/stateroot.h"
#include "pal/strings.h"
#include "service/service_control.h"

namespace {

bool IsOption(const char* word, const char* name) {
    return pal::ToUtf16(word + 1).size() > 0 && lstrcmpiW(pal::ToUtf16(word + 1).c_str(), pal::ToUtf16(name).c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    RegisterProgramResources();
    LoadTexts();
    if (argc >= 2 && (argv[1][0] == '-' || argv[1][0] == '/')) {
        if (IsOption(argv[1], "install") || IsOption(argv[1], "remove") || IsOption(argv[1], "reinstall")) {
            fprintf(stderr, "'%s': installation is not available in this build yet.\n", argv[1]);
            return 1;
        }
        printf("Unknown command '%s':\n   use '-install [user password]', '-reinstall [user password]' or "
               "'-remove'.\n",
               argv[1]);
        return 1;
    }
    // Without a usable state root nothing can be logged: say so here.
    DWORD rc = PalEnsureStateRoot();
    if (rc != 0) {
        WCHAR text[512];
        fprintf(stderr, "ZembrikService: cannot use the state root %s: %s\n", PalStateRootPath().c_str(),
                pal::ToUtf8(ErrorText(rc, text, 512)).c_str());
        return 1;
    }
    StartDispatcher();
    return g_exitCode == 0 ? 0 : 1;
}
