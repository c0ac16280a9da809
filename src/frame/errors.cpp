// The code table and zemErrorText.
#include <cstring>

#include "frame/channel.h"
#include "frame/errors.h"
#include "zem32.h"

namespace zem {

namespace {
struct ErrorEntry {
    int32_t code;
    const char *text;
};

// Ended by the entry 999. Socket codes are the Winsock error numbers negated; other
// platforms' errors are mapped onto them by the socket layer.
constexpr ErrorEntry kErrorTable[] = {
    {0, "Cannot comply"},
    {-1, "Socket has been closed."},
    {-4, "WINSOCK is currently blocking."},
    {-5, "Bad status flag passed to zemStatus."},
    {-7, "Invalid socket."},
    {-8, "Socket timed out."},
    {-9, "No available sockaddr structures."},
    {-12, "No host name."},
    {-18, "Cannot create socket."},
    {-31, "Response buffer has overflowed."},
    {-32, "Bad character in email address."},
    {-34, "Cannot access WINSOCK"},
    {-35, "Cannot open file."},
    {-36, "Error attempting to connect."},
    {-37, "EMPTY email address."},
    {-38, "FromPtr is NULL."},
    {-39, "Missing '@' character in email address."},
    {-40, "Missing FROM email address."},
    {-41, "Missing '<' delimiter in email address."},
    {-43, "Missing '>' terminating email address."},
    {-44, "Not connected to server"},
    {-45, "Must have at least one recipient."},
    {-46, "Cannot find SMTP/POP3 server."},
    {-47, "Unexpected NULL pointer."},
    {-48, "ToPtr is NULL."},
    {-49, "SMTP returned error."},
    {-50, "SMTP/POP3 server not specified."},
    {-51, "Socket read error."},
    {-52, "Socket write error."},
    {-53, "Too many '@' symbols in email address."},
    {-54, "Found unexpected '>' character in email address."},
    {-55, "Cannot allocate memory."},
    {-56, "Illegal chars in server name."},
    {-57, "APOP timestamp missing."},
    {-58, "SMTP function ONLY."},
    {-59, "POP3 function ONLY."},
    {-61, "USER name not specified."},
    {-62, "PASSWORD not specified."},
    {-63, "POP3 returned error."},
    {-64, "No such message number."},
    {-65, "Missing filename."},
    {-66, "Missing email path."},
    {-67, "Cannot create file."},
    {-68, "Buffer is NULL."},
    {-69, "Buffer size < 128."},
    {-70, "Missing path for attachments."},
    {-71, "Must call zemAttach first."},
    {-72, "Already attached."},
    {-73, "Channel out of range."},
    {-74, "Malformed reply from server."},
    {-75, "Message exceeds the size limit."},
    {-76, "TLS handshake failed."},
    {-77, "Server certificate not trusted."},
    {-78, "Server certificate does not match the server name."},
    {-79, "Server does not offer STARTTLS/STLS."},
    {-80, "Unexpected data after STARTTLS/STLS."},
    {-81, "Cannot use the CA, certificate or key file."},
    {-82, "Message exceeds the server's size limit."},
    {-83, "Every recipient was refused."},
    {-84, "Unknown character set."},
    {-85, "OAuth token too long."},
    {-86, "IMAP returned error."},
    {-87, "IMAP function ONLY."},
    {-88, "No usable login offered by the server."},
    {-89, "Server cannot move only the named messages."},
    {-10004, "Interrupted system call."},
    {-10009, "Bad file number."},
    {-10013, "Access denied."},
    {-10014, "Bad address."},
    {-10022, "Invalid argument."},
    {-10024, "Too many open files."},
    {-10035, "Would block socket in non-blocking mode."},
    {-10036, "Blocking call already in progress."},
    {-10037, "Operation already completed."},
    {-10038, "Not a valid socket"},
    {-10039, "Destination address required."},
    {-10040, "Message too big for buffer."},
    {-10041, "Protocol mismatch."},
    {-10042, "Protocol option invalid."},
    {-10043, "Protocol not supported."},
    {-10044, "Socket type not supported."},
    {-10045, "Socket operation not supported."},
    {-10047, "Socket address family not supported."},
    {-10048, "Socket address already in use."},
    {-10049, "Socket address not available."},
    {-10050, "Network error."},
    {-10051, "Cannot reach network."},
    {-10052, "Connection dropped."},
    {-10053, "Connection timed-out or aborted."},
    {-10054, "Connection reset by remote host."},
    {-10055, "Out of buffer space."},
    {-10056, "Socket already connected."},
    {-10057, "Socket not connected."},
    {-10058, "Socket functionality shut down."},
    {-10060, "Timed-out attempting to connect."},
    {-10061, "Connection refused by remote host."},
    {-10064, "Host is down"},
    {-10065, "No route to host"},
    {-10091, "Network not yet ready."},
    {-10092, "WINSOCK doesn't support requested version."},
    {-10093, "Sockets not initialized. Call WSAStartup."},
    {-11001, "Host does not exist."},
    {-11002, "Host not found. Try again."},
    {-11003, "Non-recoverable error has occurred."},
    {-11004, "No data is available."},
    {999, ""},
};
static_assert(sizeof kErrorTable / sizeof kErrorTable[0] == 106, "105 codes and the end entry");
} // namespace

int32_t ErrorTableSize() { return static_cast<int32_t>(sizeof kErrorTable / sizeof kErrorTable[0]) - 1; }

int32_t ErrorTextFor(const Channel &ch, int32_t code, char *buf, int32_t len) {
    if (buf == nullptr || len <= 0) return 0;
    buf[0] = 0;
    for (const ErrorEntry &e : kErrorTable) {
        if (e.code == 999) return 0;
        if (e.code != code) continue;
        int32_t n = 0;
        for (const char *t = e.text; *t && n < len - 1; ++t) buf[n++] = *t;
        if ((code == -49 || code == -63 || code == -86 || code == -36) && n < len - 1) {
            buf[n++] = ' ';
            for (const char *r = ch.ReplyBuffer; *r && n < len - 1 && r < ch.ReplyBuffer + kBufferSize; ++r) buf[n++] = *r;
        }
        buf[n] = 0;
        return n;
    }
    return 0;
}

} // namespace zem

using namespace zem;

extern "C" ZEM_API int32_t zemErrorText(int32_t Chan, int32_t Code, char *Buffer, int32_t BufLen) {
    Channel *ch = nullptr;
    if (int32_t r = FindChannel(Chan, &ch)) return r;
    if (Buffer == nullptr) return ZEM_ERR_NULL_POINTER;
    return ErrorTextFor(*ch, Code, Buffer, BufLen);
}
