#include "httpmessage.h"

#include <algorithm>

#include "httpsocket.h"

bool HttpMessage::parseMessage(HttpSocket* __sock) {
    items.clear();
    complete = false;
    std::string line;
    size_t headSize = 0;
    for (;;) {
        if (!__sock->receive(line))
            return line.size() <= HttpSocket::maxLineLength;
        if (line.empty())
            return complete = true;
        headSize += line.size() + 2;
        if (items.size() >= maxFields || headSize > maxHeadSize)
            return false;
        parseHeader(line);
    }
}

bool HttpMessage::readStartLine(HttpSocket* __sock, std::string& __line) {
    do {
        if (!__sock->receive(__line))
            return false;
    } while (__line.empty());
    return true;
}

void HttpMessage::parseHeader(const std::string& __line) {
    size_t equPos = __line.find(':');
    if (equPos == std::string::npos)
        return;
    size_t valuePos = __line.find_first_not_of(' ', equPos + 1);
    if (valuePos == std::string::npos)
        valuePos = __line.size();
    items.push_back(MessageItem{__line.substr(0, equPos), __line.substr(valuePos)});
}

bool HttpMessage::isSameName(const std::string& __a, const std::string& __b) {
    if (__a.size() != __b.size())
        return false;
    for (size_t i = 0; i < __a.size(); ++i) {
        unsigned char a = static_cast<unsigned char>(__a[i]);
        unsigned char b = static_cast<unsigned char>(__b[i]);
        if (a >= 'A' && a <= 'Z')
            a = static_cast<unsigned char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z')
            b = static_cast<unsigned char>(b - 'A' + 'a');
        if (a != b)
            return false;
    }
    return true;
}

const std::string HttpMessage::getHeader(std::string __name) const {
    for (const MessageItem& item : items)
        if (isSameName(item.name, __name))
            return item.value;
    return std::string();
}

std::vector<std::string> HttpMessage::getHeaderValues(std::string __name) const {
    std::vector<std::string> values;
    for (const MessageItem& item : items)
        if (isSameName(item.name, __name))
            values.push_back(item.value);
    return values;
}

namespace {

// True when __field is __name followed by blanks or tabs.
bool isSpacedName(const std::string& __field, const std::string& __name) {
    size_t end = __field.find_last_not_of(" \t") + 1;
    return end < __field.size() && HttpMessage::isSameName(__field.substr(0, end), __name);
}

} // namespace

bool HttpMessage::hasSpacedName(const std::string& __name) const {
    for (const MessageItem& item : items)
        if (isSpacedName(item.name, __name))
            return true;
    return false;
}

bool HttpMessage::removeSpacedNames(const std::string& __name) {
    auto spaced = std::remove_if(items.begin(), items.end(), [&](const MessageItem& __item) {
        return isSpacedName(__item.name, __name);
    });
    bool found = spaced != items.end();
    items.erase(spaced, items.end());
    return found;
}

void HttpMessage::setHeader(std::string __name, std::string __value) {
    for (MessageItem& item : items)
        if (isSameName(item.name, __name)) {
            item.value = __value;
            return;
        }
    items.push_back(MessageItem{__name, __value});
}

bool HttpMessage::removeHeader(std::string __name) {
    for (auto it = items.begin(); it != items.end(); ++it)
        if (isSameName(it->name, __name)) {
            items.erase(it);
            return true;
        }
    return false;
}

const std::string HttpMessage::getHeaders() const {
    std::string headers;
    for (const MessageItem& item : items)
        headers += item.name + ": " + item.value + "\r\n";
    return headers;
}

bool HttpMessage::parseDecimal(const std::string& __text, uint64_t& __number) {
    size_t begin = __text.find_first_not_of(" \t");
    size_t end = __text.find_last_not_of(" \t");
    if (begin == std::string::npos)
        return false;
    uint64_t number = 0;
    for (size_t i = begin; i <= end; ++i) {
        char c = __text[i];
        if (c < '0' || c > '9')
            return false;
        unsigned digit = static_cast<unsigned>(c - '0');
        if (number > (UINT64_MAX - digit) / 10)
            return false;
        number = number * 10 + digit;
    }
    __number = number;
    return true;
}

bool HttpMessage::findContentLength(uint64_t& __length) const {
    std::vector<std::string> values = getHeaderValues("content-length");
    if (values.empty())
        return false;
    uint64_t first = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        uint64_t length;
        if (!parseDecimal(values[i], length) || (i > 0 && length != first))
            return false;
        first = length;
    }
    __length = first;
    return true;
}

std::string HttpMessage::nextWord(const std::string& __line, size_t& __pos) {
    size_t begin = __line.find_first_not_of(blanks, __pos);
    if (begin == std::string::npos) {
        __pos = __line.size();
        return std::string();
    }
    size_t end = __line.find_first_of(blanks, begin);
    if (end == std::string::npos)
        end = __line.size();
    __pos = end;
    return __line.substr(begin, end - begin);
}
