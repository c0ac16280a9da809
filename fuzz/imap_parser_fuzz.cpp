// libFuzzer target for the IMAP response tokenizer, the mailbox-name coder and the argument
// writer, all pure computations.
//
// The first input byte chooses how the rest is fed: below 0x80, in chunks of 1 + (b & 15)
// bytes; from 0x80, in chunk sizes of 1 to 64 drawn from a generator seeded with it. Bit 5
// also takes every literal up to kImapStringLiteralMax as a string (ImapTakeSmallLiteral);
// otherwise only those up to 256 bytes, and larger ones are skipped as a sink would take
// them. The caller asks for text mode after a status word or "+", like the client. The
// token sequence must be the one the same bytes give when fed whole; every call must stay
// within its bytes and make progress; every token's text must be NUL-terminated at its
// length. After an Error the rest of the line is dropped and the parser reset.
//
// The input up to its first NUL is also a mailbox name: as UTF-8 it must go to modified
// UTF-7 and back unchanged exactly when it is well-formed, and as modified UTF-7 it must come
// back unchanged whenever it decodes. Written as an astring and read back by the tokenizer,
// it must give its own bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "imap/command_writer.h"
#include "imap/response_parser.h"
#include "text/charset.h"
#include "text/mutf7.h"

using namespace zem;

namespace {

void Check(bool ok, const char *what) {
    if (ok) return;
    std::fprintf(stderr, "imap_parser_fuzz: %s\n", what);
    std::abort();
}

struct Chunker {
    uint8_t mode;
    uint32_t seed;
    size_t Next() {
        if (mode < 0x80) return 1 + (mode & 15u);
        seed = seed * 1103515245u + 12345u;
        return 1 + (seed >> 16) % 64;
    }
};

// Feeds data as a client would, in the chunks given (whole when c is null), and returns the
// tokens as one string to compare.
std::string Run(const uint8_t *data, size_t size, Chunker *c, bool takeAll) {
    ImapParser p;
    ImapParserReset(p);
    std::string seen;
    const char *bytes = reinterpret_cast<const char *>(data);
    size_t pos = 0, inLine = 0, idle = 0;
    uint64_t skip = 0;
    bool small = false;
    while (pos < size) {
        const size_t want = c != nullptr ? c->Next() : size;
        const int32_t len = static_cast<int32_t>(want < size - pos ? want : size - pos);
        if (skip > 0) { // the sink of a large literal
            const size_t n = skip < static_cast<uint64_t>(len) ? static_cast<size_t>(skip) : static_cast<size_t>(len);
            pos += n;
            skip -= n;
            if (skip == 0) ImapParserLiteralDone(p);
            continue;
        }
        ImapToken t{};
        int32_t used = -1;
        const ImapFeed f = small ? ImapTakeSmallLiteral(p, bytes + pos, len, &used, &t) : ImapNextToken(p, bytes + pos, len, &used, &t);
        Check(used >= 0 && used <= len, "consumed outside the bytes fed");
        pos += static_cast<size_t>(used);
        idle = used == 0 ? idle + 1 : 0; // a token may end where its next byte is, not twice more
        Check(idle < 4, "no progress");
        if (f == ImapFeed::Error) {
            seen += "E|";
            int32_t again = 0;
            Check(ImapNextToken(p, "\r\n", 2, &again, &t) == ImapFeed::Error, "a broken parser went on");
            while (pos < size && data[pos++] != '\n') {}
            ImapParserReset(p);
            small = false;
            inLine = idle = 0;
            continue;
        }
        if (f == ImapFeed::NeedMore) {
            Check(used == len, "NeedMore left bytes behind");
            continue;
        }
        const char *text = ImapTokenText(p);
        Check(t.len >= 0 && t.len <= kImapTokenMax && std::strlen(text) == static_cast<size_t>(t.len), "token text");
        small = false;
        if (t.kind == ImapTok::LiteralStart) {
            Check(t.number <= kImapLiteralMax, "literal size");
            small = t.number <= (takeAll ? kImapStringLiteralMax : 256);
            skip = small ? 0 : t.number;
            if (skip == 0 && !small) ImapParserLiteralDone(p);
        }
        if (t.kind == ImapTok::Number)
            for (int32_t i = 0; i < t.len; ++i) Check(text[i] >= '0' && text[i] <= '9', "a number with other characters");
        const bool status = t.kind == ImapTok::Atom && (!std::strcmp(text, "OK") || !std::strcmp(text, "NO") ||
                                                         !std::strcmp(text, "BAD") || !std::strcmp(text, "BYE"));
        if ((inLine == 1 && status) || (inLine == 0 && !std::strcmp(text, "+"))) ImapParserTextMode(p);
        inLine = t.kind == ImapTok::LineEnd ? 0 : inLine + 1;
        seen += std::to_string(static_cast<int>(t.kind)) + ":" + std::to_string(t.number) + ":" + text + (t.truncated ? "~|" : "|");
    }
    return seen;
}

void CheckName(const uint8_t *data, size_t size) {
    const std::string name(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size < 512 ? size : 512));
    static char encoded[4096], decoded[4096], back[4096];
    const int32_t n7 = Utf8ToMutf7(name.c_str(), encoded, sizeof encoded);
    Check((n7 >= 0) == IsValidUtf8(name.data(), static_cast<int32_t>(name.size())), "UTF-8 refused or taken wrongly");
    if (n7 >= 0) {
        Check(static_cast<size_t>(n7) == std::strlen(encoded), "length of the encoded name");
        Check(Mutf7ToUtf8(encoded, decoded, sizeof decoded) >= 0 && name == decoded, "a name did not come back");
    }
    if (Mutf7ToUtf8(name.c_str(), decoded, sizeof decoded) >= 0)
        Check(Utf8ToMutf7(decoded, back, sizeof back) >= 0 && name == back, "a decoded name encodes otherwise");

    // The writer's form read back by the tokenizer.
    char line[2 * kImapTokenMax];
    bool sync = false;
    std::strcpy(line, "* ");
    const int32_t end = ImapAppendAstring(line, sizeof line - 4, 2, name.data(), static_cast<int32_t>(name.size()), (size & 1) != 0,
                                          (size & 2) != 0, &sync);
    if (end < 0) return;
    std::string wire(line, static_cast<size_t>(end));
    const bool literal = wire.back() == '}';
    Check(!sync || literal, "a sync literal that is none");
    wire += literal ? "\r\n" + name + "\r\n" : "\r\n";
    ImapParser p;
    ImapParserReset(p);
    ImapToken t{};
    int32_t used = 0, pos = 0;
    std::string got;
    for (int k = 0; k < 4; ++k) {
        const bool take = t.kind == ImapTok::LiteralStart && k > 0;
        const ImapFeed f = take ? ImapTakeSmallLiteral(p, wire.data() + pos, static_cast<int32_t>(wire.size()) - pos, &used, &t)
                                : ImapNextToken(p, wire.data() + pos, static_cast<int32_t>(wire.size()) - pos, &used, &t);
        Check(f == ImapFeed::Token, "the writer's argument does not parse");
        pos += used;
        if (t.kind == ImapTok::Atom || t.kind == ImapTok::Number || t.kind == ImapTok::Quoted) got = ImapTokenText(p);
        if (t.kind == ImapTok::LineEnd) break;
    }
    Check(t.kind == ImapTok::LineEnd, "no line end after the argument");
    Check(got == name || (literal && name.size() > static_cast<size_t>(kImapTokenMax)), "the argument came back otherwise");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    Chunker chunks{data[0], data[0]};
    const bool takeAll = (data[0] & 0x20) != 0;
    const std::string whole = Run(data + 1, size - 1, nullptr, takeAll);
    Check(Run(data + 1, size - 1, &chunks, takeAll) == whole, "the tokens depend on how the bytes were fed");
    CheckName(data + 1, size - 1);
    return 0;
}
