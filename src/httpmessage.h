// MessageItem and HttpMessage: the ordered header fields of one request or
// response head, as they arrived (letter case, order and duplicates kept).
// Names are matched without regard to ASCII letter case, the first match wins.
// Not safe for concurrent use: callers serialise every call on one list.
#ifndef SHOAL_HTTPMESSAGE_H
#define SHOAL_HTTPMESSAGE_H

#include <cstdint>
#include <string>
#include <vector>

class HttpSocket;

struct MessageItem {
    std::string name;
    std::string value;
};

class HttpMessage {
public:
    // A head with more fields, or more bytes of field lines, ends the exchange.
    static constexpr size_t maxFields = 200;
    static constexpr size_t maxHeadSize = 256 * 1024;

    // Empties the list and reads header lines from __sock up to the empty line
    // that ends the head. True also when the peer closed before that line (the
    // fields read so far are kept, and isComplete() tells); false when the
    // head breaks a limit: a line over HttpSocket::maxLineLength, more than
    // maxFields fields or more than maxHeadSize bytes.
    bool parseMessage(HttpSocket* __sock);
    // True when the last parseMessage() read the head up to its empty line.
    bool isComplete() const { return complete; }
    // Splits "name: value" and appends it; a line without a colon is ignored.
    void parseHeader(const std::string& __line);

    // The value of the first field named __name, or "" when there is none.
    const std::string getHeader(std::string __name) const;
    // The values of every field named __name, in order.
    std::vector<std::string> getHeaderValues(std::string __name) const;
    // True when a field is named __name followed by blanks or tabs, from a
    // line with white space before its colon: some peers read such a field
    // as __name, others as a field of another name.
    bool hasSpacedName(const std::string& __name) const;
    // Removes every such field; false when there was none.
    bool removeSpacedNames(const std::string& __name);
    // Gives the first field named __name the value, or appends a new field.
    void setHeader(std::string __name, std::string __value);
    // Removes the first field named __name; false when there is none.
    bool removeHeader(std::string __name);
    // The fields in wire form, "name: value\r\n" each, without the empty line.
    const std::string getHeaders() const;

    // The body length that the "content-length" fields declare. False when
    // there is none, when a value is not a plain decimal number that fits 64
    // bits, or when two values disagree: then no length is known.
    bool findContentLength(uint64_t& __length) const;

    // Reads a plain decimal number (blanks around it allowed) that fits 64 bits.
    static bool parseDecimal(const std::string& __text, uint64_t& __number);
    // Reads the start line of a head into __line, skipping empty lines in
    // front of it (line ends left over behind a body). False when the peer
    // closed or failed first, or the line runs past HttpSocket::maxLineLength.
    static bool readStartLine(HttpSocket* __sock, std::string& __line);
    // The white space that separates the words of a start line.
    static constexpr const char* blanks = " \t\v\f";
    // The word of __line that begins at the first non-blank from __pos on;
    // __pos is left just behind it. "" when no word is left.
    static std::string nextWord(const std::string& __line, size_t& __pos);
    // Whole-string comparison without regard to ASCII letter case.
    static bool isSameName(const std::string& __a, const std::string& __b);

private:
    std::vector<MessageItem> items;
    bool complete = false;
};

#endif
