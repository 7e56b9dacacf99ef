// Program entry of ZembrikService.
#include <cstdio>
#include <string>

#include "common/event_log.h"
#include "common/messages.h"
#include "common/texts.h"
#include "pal/command_line.h"
#include "pal/security.h"
#include "pal/stateroot.h"
#include "pal/strings.h"
#include "service/install.h"
#include "service/service_control.h"

int main() {
    RegisterProgramResources();
    LoadTexts();
    // The words as Windows hands them over, not the runtime's argv.
    int count = 0;
    LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
    if (words != nullptr && count >= 2 && (words[1][0] == u'-' || words[1][0] == u'/')) {
        LPCWSTR option = words[1] + 1;
        PalEnsureStateRoot();  // a failure shows in the step that needs it
        if (lstrcmpiW(option, u"install") == 0) {
            InstallService(count - 2, words + 2);
        } else if (lstrcmpiW(option, u"remove") == 0) {
            RemoveService(count - 2, words + 2);
        } else if (lstrcmpiW(option, u"reinstall") == 0) {
            RemoveService(count - 2, words + 2);
            InstallService(count - 2, words + 2);
        } else {
            printf("Unknown command '%s':\n   use '-install [user password]', '-reinstall [user password]' or "
                   "'-remove'.\n",
                   pal::ToUtf8(words[1]).c_str());
            LocalFree(words);
            return 1;
        }
        LocalFree(words);
        return 0;
    }
    // A stray word (an option without its lead character) is no service
    // start: the dispatcher is not asked, as it cannot connect from a shell.
    bool stray = words != nullptr && count >= 2;
    if (words != nullptr) LocalFree(words);
    if (stray) {
        PalEnsureStateRoot();
        RefuseDispatch();
        fprintf(stderr, "Usage: ZembrikService [-install [user password] | -reinstall [user password] | -remove]\n"
                        "Without an option the service runs (in the foreground, as systemd starts it).\n");
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
    return g_exitCode == 0 && g_startFailure == 0 ? 0 : 1;
}
