// The header of a ready-made RFC 5322 message, for zem-send -t: the addresses of its To,
// Cc, Bcc and From lines, and the message without its Bcc lines.
#ifndef ZEM_TOOLS_MESSAGE_HEADERS_H
#define ZEM_TOOLS_MESSAGE_HEADERS_H

#include <string>
#include <utility>
#include <vector>

namespace zemtool {

struct MessageHeader {
    bool complete = false; // the header ends in an empty line (or the text is all header)
    std::vector<std::string> to, cc, bcc; // "<address>" each
    std::string from;                     // the first address of From, or ""
    std::vector<std::pair<size_t, size_t>> bccLines; // [begin, end) of each Bcc field, folded lines included
};

MessageHeader ReadMessageHeader(const std::string &text);

// The addresses of one header field value (RFC 5322 s3.4: display names, quoted strings,
// comments and groups allowed), each as "<address>".
std::vector<std::string> AddressesOf(const std::string &value);

// `text` without the Bcc fields of `h`.
std::string WithoutBcc(const std::string &text, const MessageHeader &h);

} // namespace zemtool

#endif
