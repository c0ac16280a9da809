#include "message_headers.h"

#include <cctype>

namespace zemtool {

namespace {

std::string Lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string &s) {
    size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

// One address of a list item: the part in angle brackets, else the item without comments.
std::string AddressOfItem(const std::string &item) {
    size_t lt = item.rfind('<');
    std::string a;
    if (lt != std::string::npos) {
        size_t gt = item.find('>', lt);
        a = item.substr(lt + 1, gt == std::string::npos ? std::string::npos : gt - lt - 1);
    } else {
        int depth = 0;
        for (char c : item) {
            if (c == '(') ++depth;
            else if (c == ')' && depth > 0) --depth;
            else if (depth == 0) a += c;
        }
    }
    a = Trim(a);
    return a.empty() ? a : "<" + a + ">";
}

} // namespace

std::vector<std::string> AddressesOf(const std::string &value) {
    std::vector<std::string> out;
    std::string item;
    bool quoted = false, angle = false;
    int comment = 0;
    auto flush = [&] {
        std::string a = AddressOfItem(item);
        if (!a.empty()) out.push_back(a);
        item.clear();
    };
    for (size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (quoted) {
            if (c == '\\' && i + 1 < value.size()) item += value[++i];
            else if (c == '"') quoted = false;
            else item += c;
            continue;
        }
        if (c == '"' && comment == 0) { quoted = true; continue; }
        if (c == '(') ++comment;
        if (c == ')' && comment > 0) --comment;
        if (comment == 0 && c == '<') angle = true;
        if (comment == 0 && c == '>') angle = false;
        if (comment == 0 && !angle && c == ':') { item.clear(); continue; } // a group's name
        if (comment == 0 && !angle && (c == ',' || c == ';')) { flush(); continue; }
        item += c;
    }
    flush();
    return out;
}

MessageHeader ReadMessageHeader(const std::string &text) {
    MessageHeader h;
    size_t pos = 0;
    std::string name, value;
    size_t fieldStart = 0;
    auto endField = [&](size_t end) {
        if (name.empty()) return;
        std::string n = Lower(name);
        if (n == "to") for (auto &a : AddressesOf(value)) h.to.push_back(a);
        if (n == "cc") for (auto &a : AddressesOf(value)) h.cc.push_back(a);
        if (n == "bcc") {
            for (auto &a : AddressesOf(value)) h.bcc.push_back(a);
            h.bccLines.emplace_back(fieldStart, end);
        }
        if (n == "from" && h.from.empty()) {
            std::vector<std::string> f = AddressesOf(value);
            if (!f.empty()) h.from = f[0];
        }
        name.clear();
        value.clear();
    };
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        size_t end = nl == std::string::npos ? text.size() : nl + 1;
        std::string line = text.substr(pos, end - pos);
        std::string bare = line;
        while (!bare.empty() && (bare.back() == '\n' || bare.back() == '\r')) bare.pop_back();
        if (bare.empty()) { // the empty line that ends the header
            endField(pos);
            h.complete = true;
            return h;
        }
        if (bare[0] == ' ' || bare[0] == '\t') { // a folded continuation (RFC 5322 s2.2.3)
            value += bare;
        } else {
            endField(pos);
            size_t colon = bare.find(':');
            if (colon == std::string::npos) return h; // not a header line: no header at all
            name = Trim(bare.substr(0, colon));
            value = bare.substr(colon + 1);
            fieldStart = pos;
        }
        pos = end;
    }
    endField(text.size());
    h.complete = true;
    return h;
}

std::string WithoutBcc(const std::string &text, const MessageHeader &h) {
    std::string out;
    size_t pos = 0;
    for (const auto &r : h.bccLines) {
        out.append(text, pos, r.first - pos);
        pos = r.second;
    }
    out.append(text, pos, std::string::npos);
    return out;
}

} // namespace zemtool
