// libFuzzer target for the names the MIME decoder gives attachment files, and for what it
// may touch on disk. Each input builds an attachment directory (pre-filled with entries
// whose names clash with the attachments), a message whose parts share long and
// near-128-byte names in every header form, and the decoder switches; the message goes
// through DecodeFileOnChannel, then the tree is compared with its state before:
//
//   - every pre-existing entry keeps its type, a file its bytes, a link its target
//     (the link targets outside the directory are files of the tree too);
//   - nothing new appears anywhere but the message file and plain files directly in the
//     attachment directory;
//   - a new name holds at most 128 bytes after the numbering prefix, no control character
//     (C0, DEL, C1 written in UTF-8), no bidirectional control, and does not begin with
//     '.' or '-';
//   - the message file still begins with the message's first header line (an attachment
//     opened over it would have truncated it).
// A violation prints "names_fuzz: CHECK: path" to stderr and aborts, one text per check.
// With NAMES_FUZZ_SHOW set in the environment each run also prints its directory, its
// message and the entries it created.
//
// The attachment directory is relative to the per-process scratch tree, so that its
// name can have any length from 0 (the current directory) to 200; during the decode the
// process works in that tree (give -artifact_prefix as an absolute path).
// The library keeps the first 128 characters of the directory (as zemGetEmailFile does),
// so that prefix is the directory the checks hold the files to.
//
// Input, read front to back (missing bytes read as 0):
//   byte    directory length, 0 to 200 (modulo 201; 0 is the current directory)
//   byte    its shape: components of 1 + (b & 63) letters split by '/', or one component
//           when bit 6 is set; the last character may be the '/'
//   byte    switches: bit 0 numbered names (code 10), 1 UTF-8 names (72), 2 attached
//           messages saved whole (73), 3 8-bit names (74), 4 unnamed parts (14), 5 the
//           message file inside the attachment directory; bits 6-7 the channel's running
//           attachment number (0, 8, 98, 99998)
//   byte    entries (b & 7, at most 6) and parts (1 + (b >> 3 & 7))
//   entry   kind byte (b % 6: file, link to a file outside, dangling link to a path
//           outside, FIFO, directory, link to the directory outside), then a name
//   part    form byte: bits 0-2 name form (plain, quoted, Q word, B word, RFC 2231
//           filename*=, RFC 2231 continuations, name= on Content-Type only, none),
//           bit 3 iso-8859-1 instead of utf-8, bit 4 parameter folded onto its own line,
//           bits 5-6 transfer encoding (base64, 7bit, quoted-printable, base64), bit 7 an
//           attached message (message/rfc822) named by its Subject too;
//           flags byte: bits 0-4 continuation section length - 1, bit 5 every byte
//           %-escaped, bit 6 the name also on Content-Type, bit 7 inside a nested multipart;
//           then a name, then the body (length byte % 32 and bytes)
//   name    head (length byte % 49 and bytes), fill byte, repeat count byte, tail (as head):
//           head + count x fill + tail; a head length byte of 0xF0 or more instead picks a
//           name made before (entries' names included), by its value modulo their number
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "frame/channel.h"
#include "frame/settings.h"
#include "mime/mime_decoder.h"

using namespace zem;
namespace fs = std::filesystem;

namespace {

constexpr int kMaxEntries = 6;
constexpr size_t kNameMax = 128;
const char kFirstLine[] = "From: names@example.org\r\n";

std::string gRoot; // per-process scratch tree
int gHome = -1;    // the working directory to return to
bool gShow = false; // NAMES_FUZZ_SHOW set: the message and the new entries go to stderr
alignas(64) unsigned char gRecord[kChannelBlockSize];

[[noreturn]] void Fail(const char *check, const std::string &path) {
    if (gHome >= 0 && fchdir(gHome) != 0) std::perror("fchdir");
    std::fprintf(stderr, "names_fuzz: %s: %s\n", check, path.c_str());
    std::abort();
}

struct Input {
    const uint8_t *p;
    size_t n;
    std::vector<std::string> made; // the names made so far
    uint8_t Byte() {
        if (n == 0) return 0;
        --n;
        return *p++;
    }
    std::string Bytes(size_t len) {
        if (len > n) len = n;
        std::string s(reinterpret_cast<const char *>(p), len);
        p += len;
        n -= len;
        return s;
    }
    std::string Text(size_t max) { return Bytes(Byte() % (max + 1)); }
    // Clashes are the point, so a name may also be one made before.
    std::string Name() {
        const uint8_t b = Byte();
        if (b >= 0xF0 && !made.empty()) return made[b % made.size()];
        std::string s = Bytes(b % 49);
        const char fill = static_cast<char>(Byte());
        s.append(Byte(), fill);
        made.push_back(s + Text(48));
        return made.back();
    }
};

// ---- The message ---------------------------------------------------------------------------

std::string Hex(uint8_t c) {
    static const char d[] = "0123456789ABCDEF";
    return {d[c >> 4], d[c & 15]};
}

bool IsAlnum(uint8_t c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string Base64(const std::string &s) {
    static const char t[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < s.size(); i += 3) {
        uint32_t v = static_cast<uint8_t>(s[i]) << 16;
        if (i + 1 < s.size()) v |= static_cast<uint8_t>(s[i + 1]) << 8;
        if (i + 2 < s.size()) v |= static_cast<uint8_t>(s[i + 2]);
        out += t[v >> 18 & 63];
        out += t[v >> 12 & 63];
        out += i + 1 < s.size() ? t[v >> 6 & 63] : '=';
        out += i + 2 < s.size() ? t[v & 63] : '=';
    }
    return out;
}

// RFC 2047 section 4.2: the Q form writes space as '_' and escapes what is not safe.
std::string QWord(const std::string &s) {
    std::string out;
    for (char ch : s) {
        const auto c = static_cast<uint8_t>(ch);
        out += IsAlnum(c) || c == '.' || c == '-' ? std::string(1, ch) : c == ' ' ? "_" : "=" + Hex(c);
    }
    return out;
}

// RFC 2231 section 4: attribute characters stay unless every byte is to be escaped.
std::string Percent(const std::string &s, bool all) {
    std::string out;
    for (char ch : s) {
        const auto c = static_cast<uint8_t>(ch);
        out += !all && (IsAlnum(c) || c == '.' || c == '-' || c == '_') ? std::string(1, ch) : "%" + Hex(c);
    }
    return out;
}

// Bytes that would end the header line become '_', so the message keeps its structure.
std::string OneLine(std::string s) {
    for (char &c : s)
        if (c == '\r' || c == '\n') c = '_';
    return s;
}

std::string Quoted(const std::string &s) {
    std::string out = "\"";
    for (char c : OneLine(s)) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// The parameter `key` naming `name` in the form the part's form byte chooses.
std::string Param(const char *key, const std::string &name, uint8_t form, uint8_t flags) {
    const std::string cs = (form & 8) ? "iso-8859-1" : "utf-8";
    const std::string lead = (form & 16) ? ";\r\n\t" : "; ";
    const std::string k = key;
    switch (form & 7) {
    case 0: return lead + k + "=" + OneLine(name);
    case 1:
    case 6: return lead + k + "=" + Quoted(name);
    case 2: return lead + k + "=\"=?" + cs + "?Q?" + QWord(name) + "?=\"";
    case 3: return lead + k + "=\"=?" + cs + "?B?" + Base64(name) + "?=\"";
    case 4: return lead + k + "*=" + cs + "''" + Percent(name, flags & 32);
    case 5: {
        const size_t chunk = 1 + (flags & 31);
        std::string out;
        for (size_t i = 0, sec = 0; i < name.size() || sec == 0; i += chunk, ++sec) {
            out += lead + k + "*" + std::to_string(sec) + "*=" + (sec == 0 ? cs + "''" : "");
            out += Percent(name.substr(i < name.size() ? i : name.size(), chunk), flags & 32);
        }
        return out;
    }
    default: return "";
    }
}

std::string Body(const std::string &b, uint8_t form) {
    switch (form >> 5 & 3) {
    case 1: return b + "\r\n";
    case 2: {
        std::string out;
        for (char c : b) out += IsAlnum(static_cast<uint8_t>(c)) ? std::string(1, c) : "=" + Hex(static_cast<uint8_t>(c));
        return out + "\r\n";
    }
    default: return Base64(b) + "\r\n";
    }
}

std::string Part(Input &in) {
    const uint8_t form = in.Byte();
    const uint8_t flags = in.Byte();
    const std::string name = in.Name();
    const std::string body = in.Text(31);
    const bool onType = (form & 7) == 6 || (flags & 64);
    const bool onDisposition = (form & 7) != 6 && (form & 7) != 7;
    std::string p;
    if (flags & 128) p += "Content-Type: multipart/mixed; boundary=\"=_inner\"\r\n\r\n--=_inner\r\n";
    if (form & 128) {
        p += "Content-Type: message/rfc822" + (onType ? Param("name", name, form, flags) : "") + "\r\n";
        if (onDisposition) p += "Content-Disposition: attachment" + Param("filename", name, form, flags) + "\r\n";
        p += "\r\nSubject: " + ((form & 7) == 3 ? "=?utf-8?B?" + Base64(name) + "?=" : OneLine(name)) +
             "\r\nFrom: inner@example.org\r\n\r\n" + OneLine(body) + "\r\n";
    } else {
        static const char *const kEncodings[] = {"base64", "7bit", "quoted-printable", "base64"};
        p += "Content-Type: application/octet-stream" + (onType ? Param("name", name, form, flags) : "") + "\r\n";
        if (onDisposition) p += "Content-Disposition: attachment" + Param("filename", name, form, flags) + "\r\n";
        p += std::string("Content-Transfer-Encoding: ") + kEncodings[form >> 5 & 3] + "\r\n\r\n" + Body(body, form);
    }
    if (flags & 128) p += "--=_inner--\r\n";
    return p;
}

// ---- The tree before and after -------------------------------------------------------------

struct Node {
    fs::file_type type;
    std::string bytes; // a file's content or a link's target
};
using Tree = std::map<std::string, Node>;

Tree Snapshot() {
    Tree t;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(gRoot, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path &p = it->path();
        Node n{it->symlink_status().type(), {}};
        if (n.type == fs::file_type::regular) {
            std::ifstream f(p, std::ios::binary);
            n.bytes.assign(std::istreambuf_iterator<char>(f), {});
        } else if (n.type == fs::file_type::symlink) {
            n.bytes = fs::read_symlink(p, ec).string();
        }
        t[p.string()] = n;
    }
    if (ec) Fail("cannot list the scratch tree", gRoot);
    return t;
}

void CheckName(const std::string &name, const std::string &path, bool numbered) {
    size_t from = 0;
    if (numbered) {
        while (from < name.size() && name[from] >= '0' && name[from] <= '9') ++from;
        if (from > 0 && from < name.size() && name[from] == '-') ++from;
        else from = 0;
    }
    if (name.size() - from > kNameMax) Fail("name longer than 128 bytes", path);
    for (size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<uint8_t>(name[i]);
        const auto c1 = i + 1 < name.size() ? static_cast<uint8_t>(name[i + 1]) : 0;
        const auto c2 = i + 2 < name.size() ? static_cast<uint8_t>(name[i + 2]) : 0;
        if (c < 0x20 || c == 0x7F) Fail("name holds a C0 control or DEL", path);
        // Holds only once names are sanitised: U+0080 to U+009F in UTF-8.
        if (c == 0xC2 && c1 >= 0x80 && c1 <= 0x9F) Fail("name holds a C1 control", path);
        // Holds only once names are sanitised: U+061C, U+200E/F, U+202A-E, U+2066-9.
        if ((c == 0xD8 && c1 == 0x9C) || (c == 0xE2 && c1 == 0x80 && (c2 == 0x8E || c2 == 0x8F)) ||
            (c == 0xE2 && c1 == 0x80 && c2 >= 0xAA && c2 <= 0xAE) || (c == 0xE2 && c1 == 0x81 && c2 >= 0xA6 && c2 <= 0xA9))
            Fail("name holds a bidirectional control", path);
    }
    // Hold only once names are sanitised: such names hide from ls or read as options.
    if (name[0] == '.') Fail("name begins with '.'", path);
    if (name[0] == '-') Fail("name begins with '-'", path);
}

void Compare(const Tree &before, const Tree &after, const fs::path &attach, const std::string &message, bool numbered) {
    for (const auto &[path, old] : before) {
        const auto it = after.find(path);
        if (it == after.end()) Fail("pre-existing entry removed", path);
        if (it->second.type != old.type) Fail("pre-existing entry changed its type", path);
        if (old.type == fs::file_type::regular && it->second.bytes != old.bytes) Fail("pre-existing file changed", path);
        if (old.type == fs::file_type::symlink && it->second.bytes != old.bytes) Fail("link points elsewhere", path);
    }
    for (const auto &[path, node] : after) {
        if (before.count(path) != 0 || path == message) continue;
        if (gShow) std::fprintf(stderr, "new: %s\n", path.c_str());
        const fs::path p(path);
        if (p.parent_path() != attach) {
            const std::string rel = p.lexically_relative(attach).string();
            if (!rel.empty() && rel.compare(0, 2, "..") != 0) Fail("name holds '/'", path);
            Fail("created outside the attachment directory", path);
        }
        if (node.type != fs::file_type::regular) Fail("created entry is not a regular file", path);
        CheckName(p.filename().string(), path, numbered);
    }
    const auto m = after.find(message);
    if (m == after.end()) Fail("no message file", message);
    if (m->second.bytes.compare(0, sizeof kFirstLine - 1, kFirstLine) != 0) Fail("message file overwritten", message);
}

// ---- The scene -----------------------------------------------------------------------------

// Directory text of length len: components of `comp` letters split by '/'.
std::string DirText(size_t len, uint8_t shape) {
    const size_t comp = (shape & 64) ? 255 : 1 + (shape & 63);
    std::string d;
    for (size_t i = 0; i < len; ++i) d += (i + 1) % (comp + 1) == 0 ? '/' : static_cast<char>('a' + (i / (comp + 1)) % 26);
    return d;
}

std::string EntryName(std::string s) {
    for (char &c : s)
        if (c == '/' || c == 0) c = '_';
    if (s.size() > 255) s.resize(255);
    if (s.empty() || s == "." || s == "..") s = "e";
    return s;
}

// Never opens over an earlier entry: a FIFO of the same name would block the open.
void NewFile(const std::string &path, const std::string &bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return; // a name taken by an earlier entry stays as it is
    if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) Fail("cannot write", path);
    close(fd);
}

void MakeEntry(const fs::path &dir, uint8_t kind, const std::string &name, int i) {
    const std::string path = (dir / name).string();
    const std::string outside = gRoot + "/outside";
    const std::string target = outside + "/t" + std::to_string(i);
    int r = 0;
    switch (kind % 6) {
    case 0: NewFile(path, "pre-existing " + std::to_string(i) + "\n"); return;
    case 1:
        NewFile(target, "outside target " + std::to_string(i) + "\n");
        r = symlink(target.c_str(), path.c_str());
        break;
    case 2: r = symlink((outside + "/missing" + std::to_string(i)).c_str(), path.c_str()); break;
    case 3: r = mkfifo(path.c_str(), 0644); break;
    case 4: r = mkdir(path.c_str(), 0755); break;
    default: r = symlink(outside.c_str(), path.c_str()); break;
    }
    (void)r; // a name taken by an earlier entry stays as it is
}

void ClearTree() {
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(gRoot, ec)) fs::remove_all(e.path(), ec);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Memory-backed when possible: every input creates and removes a small tree.
    char tmpl[] = "/dev/shm/zem-names-fuzz-XXXXXX";
    char fallback[] = "/tmp/zem-names-fuzz-XXXXXX";
    const char *d = mkdtemp(tmpl);
    if (d == nullptr) d = mkdtemp(fallback);
    if (d == nullptr) std::abort();
    gRoot = d;
    gHome = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    gShow = std::getenv("NAMES_FUZZ_SHOW") != nullptr;
    if (gHome < 0) std::abort();
    gSettings.pop3DataWait = 0;
    gSettings.replyTimeout = 0;
    gSettings.pollInterval = 0;
    gSettings.noSavedNote = 0;
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(gRoot, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 16384) return 0;
    Input in{data, size};
    const size_t dirLen = in.Byte() % 201;
    const std::string dir = DirText(dirLen, in.Byte());
    const uint8_t sw = in.Byte();
    const uint8_t counts = in.Byte();
    static const int32_t kNumbers[] = {0, 8, 98, 99998};

    ClearTree();
    const fs::path work = gRoot + "/w";
    fs::create_directories(work);
    fs::create_directories(gRoot + "/outside");
    const fs::path full = (work / dir).lexically_normal();
    fs::create_directories(full);
    // The directory the library keeps: its first 128 characters.
    fs::path attach = (work / dir.substr(0, 128)).lexically_normal();
    if (!attach.has_filename()) attach = attach.parent_path();
    const std::string message = (sw & 32) ? (full / "msg.eml").string() : (work / "msg.eml").string();

    const int entries = (counts & 7) < kMaxEntries ? counts & 7 : kMaxEntries;
    for (int i = 0; i < entries; ++i) {
        const uint8_t kind = in.Byte();
        const std::string name = EntryName(in.Name());
        if ((full / name).string() != message) MakeEntry(full, kind, name, i);
    }
    std::string msg = std::string(kFirstLine) +
                      "Subject: names\r\nMIME-Version: 1.0\r\n"
                      "Content-Type: multipart/mixed; boundary=\"=_outer\"\r\n\r\npreamble\r\n";
    const int parts = 1 + (counts >> 3 & 7);
    for (int i = 0; i < parts; ++i) msg += "--=_outer\r\n" + Part(in);
    msg += "--=_outer--\r\n";
    const std::string input = gRoot + "/in.eml";
    NewFile(input, msg);

    const Tree before = Snapshot();
    if (gShow) {
        std::fprintf(stderr, "directory: '%s'\n", dir.c_str());
        std::fwrite(msg.data(), 1, msg.size(), stderr);
    }
    std::memset(gRecord, 0, sizeof gRecord);
    Channel &ch = *new (gRecord) Channel();
    ch.Socket = -1;
    ch.Protocol = 'P';
    ch.NumberedNames = sw & 1;
    ch.SaveNoname = (sw >> 4) & 1;
    ch.AttachNumber = kNumbers[sw >> 6];
    ch.Utf8Names = (sw >> 1) & 1;
    ch.SaveMessages = (sw >> 2) & 1;
    ch.EightBitNames = (sw >> 3) & 1;
    if (chdir(work.c_str()) != 0) Fail("cannot enter the scratch tree", work.string());
    DecodeFileOnChannel(ch, input.c_str(), message.c_str(), dir.c_str());
    if (fchdir(gHome) != 0) Fail("cannot return to the working directory", "");
    ch.~Channel();

    Compare(before, Snapshot(), attach, message, (sw & 1) != 0);
    ClearTree();
    return 0;
}
