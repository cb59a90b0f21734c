// Entry point of QuarnUpdaterRepair.exe: no window, no command line, one pass
// of the repair, exit code 995.
#include "update/update_run.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return RunUpdate();
}
