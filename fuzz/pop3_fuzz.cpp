// libFuzzer target for the POP3 machine and the incoming MIME decoder against a hostile
// server: the input after its first byte is everything the server says (banner, status
// lines, listings, TOP and RETR data), and the connection closes where the input ends. The
// first byte chooses the client:
//   bit 0  APOP login (the banner's time stamp)
//   bit 1  messages saved raw (no decoding)
//   bit 2  numbered attachment names
//   bit 3  unnamed base64 parts saved too
//   bit 4  TOP into library memory instead of a caller buffer
//   bit 5  the whole UIDL listing instead of one id
// After each input no file may exist in the scratch directory outside the message and
// attachment directories (a hostile attachment name must not lead a file elsewhere).
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "hostile_server.h"
#include "test_support_fuzz.h"

namespace fs = std::filesystem;

namespace {
zfz::HostileServer *gServer;
int gBaseFds;
std::string gRoot, gMsgDir, gAttDir;

void CheckNoStrayFiles() {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(gRoot, ec); it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const fs::path p = it->path();
        if (p == gMsgDir || p == gAttDir) continue;
        const fs::path parent = p.parent_path();
        if ((parent == gMsgDir || parent == gAttDir) && !it->is_directory()) continue;
        std::fprintf(stderr, "pop3_fuzz: file outside the message and attachment directories: %s\n", p.c_str());
        std::abort();
    }
    for (const char *d : {gMsgDir.c_str(), gAttDir.c_str()})
        for (auto &e : fs::directory_iterator(d, ec)) fs::remove_all(e.path(), ec);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    zfz::FastLibrary();
    zemIntegerParam(0, ZEM_PARAM_POP3_DATA_WAIT, 20);
    gServer = new zfz::HostileServer();
    gRoot = zfz::ScratchDir("pop3");
    gMsgDir = gRoot + "/msg";
    gAttDir = gRoot + "/att";
    fs::create_directories(gMsgDir);
    fs::create_directories(gAttDir);
    gBaseFds = zfz::OpenDescriptors();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 65536) return 0;
    const uint8_t opt = data[0];
    gServer->Arm(data + 1, size - 1);
    zemIntegerParam(0, ZEM_PARAM_POP3_PORT, gServer->port());
    zemIntegerParam(0, ZEM_PARAM_USE_APOP, opt & 1);
    zemIntegerParam(0, ZEM_PARAM_DECODE_STATE, (opt >> 1) & 1);
    zemIntegerParam(0, ZEM_PARAM_NUMBERED_NAMES, (opt >> 2) & 1);
    zemIntegerParam(0, ZEM_PARAM_SAVE_NONAME, (opt >> 3) & 1);
    static char uid[4096], top[2048];
    if (gServer->Drive(zemPop3Connect(0, "127.0.0.1", "user", "secret")) == 0) {
        gServer->Drive(zemGetEmailCount(0));
        gServer->Drive(zemGetEmailSize(0, 1));
        gServer->Drive(zemGetEmailUID(0, (opt & 32) ? 0 : 1, uid, sizeof uid));
        gServer->Drive(zemGetEmailLines(0, 1, 3, (opt & 16) ? nullptr : top, sizeof top));
        gServer->Drive(zemGetEmailFile(0, 1, "m.eml", gMsgDir.c_str(), gAttDir.c_str()));
        gServer->Drive(zemDeleteEmail(0, 1));
    }
    gServer->Close();
    gServer->EndInput(gBaseFds);
    CheckNoStrayFiles();
    return 0;
}
