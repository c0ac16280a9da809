// libFuzzer target for the SMTP machine against a hostile server: the input after its first
// byte is everything the server says (greeting, EHLO offers, AUTH challenges, every reply),
// and the connection closes where the input ends. The first byte chooses the client:
//   bit 0  EHLO (with authentication when the server offers it)
//   bit 1  a user name and password, so AUTH runs
//   bit 2  an attachment file
//   bit 3  zemVerifyUser before the send
//   bit 4  a quoted-printable body
//   bit 5  two recipients in To and one in CC
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "hostile_server.h"
#include "test_support_fuzz.h"

namespace {
zfz::HostileServer *gServer;
int gBaseFds;
std::string gAttachment;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    zfz::FastLibrary();
    gServer = new zfz::HostileServer();
    std::string dir = zfz::ScratchDir("smtp");
    gAttachment = dir + "/attach.bin";
    zfz::WriteBytes(gAttachment, std::string(200, '\x7f') + "attachment bytes\r\n.\r\n");
    gBaseFds = zfz::OpenDescriptors();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 16384) return 0;
    const uint8_t opt = data[0];
    gServer->Arm(data + 1, size - 1);
    zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, gServer->port());
    zemIntegerParam(0, ZEM_PARAM_USE_EHLO, opt & 1);
    zemIntegerParam(0, ZEM_PARAM_BODY_TYPE, (opt & 16) ? 1 : 0);
    zemStringParam(0, ZEM_STRING_USER_NAME, (opt & 2) ? "user" : "");
    zemStringParam(0, ZEM_STRING_AUTH_PASSWORD, (opt & 2) ? "secret" : "");
    int32_t r = gServer->Drive(zemSmtpConnect(0, "127.0.0.1", "<a@client.test>", nullptr));
    if (r == 0 && (opt & 8)) r = gServer->Drive(zemVerifyUser(0, "<x@fault.test>,<y@fault.test>"));
    if (r >= 0) {
        const char *to = (opt & 32) ? "<b@fault.test>,<c@fault.test>" : "<b@fault.test>";
        gServer->Drive(zemSendEmail(0, to, (opt & 32) ? "<d@fault.test>" : nullptr, nullptr, "fuzz",
                                    "line one\r\n.leading dot\r\nline three", (opt & 4) ? gAttachment.c_str() : nullptr));
    }
    gServer->Close();
    gServer->EndInput(gBaseFds);
    return 0;
}
