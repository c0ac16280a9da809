// The incoming MIME decoder alone on a message file, without a server: every line of the
// file goes through the decoder's line entry on channel 0, as the line-mode retrieval
// hands them over. For the perf kit (bench/decoder_perf.sh) and by hand:
//
//   zem_decode_file MESSAGE OUTDIR [--utf8] [--messages]
//
// writes OUTDIR/message.txt and the attachments into OUTDIR, prints the saved names and
// exits 0, or non-zero when the decode failed.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "frame/channel.h"
#include "mime/mime_decoder.h"
#include "zem32.h"

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s MESSAGE OUTDIR [--utf8] [--messages]\n", argv[0]);
        return 2;
    }
    const std::string out = argv[2];
    mkdir(out.c_str(), 0755);
    if (zemAttach(1, 0) != 1) return 1;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--utf8") == 0) zemIntegerParam(0, ZEM_PARAM_UTF8_NAMES, 1);
        if (std::strcmp(argv[i], "--messages") == 0) zemIntegerParam(0, ZEM_PARAM_SAVE_MESSAGES, 1);
    }
    zem::Channel *ch = nullptr;
    if (zem::FindChannel(0, &ch) != 0) return 1;
    const int32_t r = zem::DecodeFileOnChannel(*ch, argv[1], (out + "/message.txt").c_str(), out.c_str());
    char names[1100] = {0};
    zemDebug(0, ZEM_DEBUG_SAVED_LIST, names, sizeof names);
    std::printf("%s\n", names);
    zemRelease();
    if (r != 0) std::fprintf(stderr, "decode failed: %d\n", r);
    return r == 0 ? 0 : 1;
}
