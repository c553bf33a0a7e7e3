// Config: the process-wide configuration, a map from key to value (both byte
// strings) filled from key=value files by parse() and looked up by
// readString() and readNumber(). Static members only; no instance is needed.
// Any thread may call every member: one mutex guards the map.
//
// File grammar: one entry per line, key "=" value. Blanks and tabs are dropped
// outside double quotes; a value that starts with a double quote keeps
// everything up to the closing quote (blanks, "#", "=" and line ends
// included). "#" outside quotes ends the entry before it and starts a comment
// that runs to the line end. Only the first "=" of a line separates key and
// value; a line without "=" yields nothing, except a last key without line end,
// which is stored with an empty value. Keys are case-sensitive; a later entry
// replaces an earlier one.
#ifndef SHOAL_CONFIG_H
#define SHOAL_CONFIG_H

#include <map>
#include <mutex>
#include <string>

class Config {
public:
    // Adds the entries of the file __filename to the map; entries of earlier
    // calls stay, and an entry of the file replaces an earlier value of its
    // key. Nothing in the file's content is an error. When the file cannot be
    // opened or read, prints "failed to read config file: " and the name on
    // standard error and ends the process at once with status 1, without
    // running exit handlers; the map is then left unchanged.
    static void parse(const std::string& __filename);

    // The value stored under __name. A missing key is added with an empty
    // value, and the empty string is returned.
    static const std::string readString(const std::string& __name);

    // The value stored under __name read as a decimal number: leading white
    // space skipped, an optional sign, digits up to the first other character;
    // 0 without digits, INT_MAX or INT_MIN beyond the range of int. A missing
    // key is added with an empty value, as by readString(), and gives 0.
    static int readNumber(const std::string& __name);

    // A copy of the whole map, taken under the lock.
    static std::map<std::string, std::string> getEntries();

    // Test seam: empties the map. The program itself never removes entries.
    static void clearForTest();

private:
    static std::mutex mapMutex;
    static std::map<std::string, std::string> configMap; // guarded by mapMutex
};

#endif
