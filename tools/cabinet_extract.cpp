// Test driver for cabinet extraction: runs ExtractCabinet once per pair of
// arguments (the folder holding 20150209.cab, the destination folder) and
// prints one line per pair, so that one Wine start serves a whole table.
//
//   cabinet_extract CABINET_FOLDER DESTINATION [CABINET_FOLDER DESTINATION]...
//
// Output lines: "RESULT index code".
#include "update/cabinet.h"

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3 || (argc - 1) % 2 != 0) {
        std::fprintf(stderr, "usage: cabinet_extract CABINET_FOLDER DESTINATION...\n");
        return 2;
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        int result = ExtractCabinet(argv[i], argv[i + 1]);
        std::printf("RESULT %d %d\n", (i - 1) / 2, result);
        std::fflush(stdout);
    }
    return 0;
}
