#pragma once
// The program's key = value settings: one text file loaded once into a process-wide map, read
// through typed getters with defaults, and written back by SetValue.
//
// File syntax: lines of at most 255 characters (reading stops at a longer one); '#' starts a
// comment; the first '=' splits key and value, both cleaned with Trim; lines without '=' are
// ignored; the first occurrence of a key wins. All operations are thread-safe.

#include <map>
#include <string>

#include "runtime/ConfigureFailure.h"

class CConfigFile {
public:
    using ConfigMap = std::map<std::string, std::string>;

    // The process-wide map; the first call of the process loads it from `path`. When that load
    // throws, the map stays empty and later calls return it without loading again.
    static ConfigMap* GetLoadedInstance(const std::string& path);
    // The process-wide map, created empty when missing; never reads a file.
    static ConfigMap* GetInstance();
    // Frees the process-wide map; the next GetLoadedInstance loads again.
    static void DeleteInstance(ConfigMap* map);

    // Replaces the content of the process-wide map with the file and remembers the path for
    // SetValue. Throws CConfigureFailure("Failed to open configuration file <path>").
    static void Load(const std::string& path);
    // Parses a file with the same rules and failure, storing nothing.
    static void TestLoadingConfigFile(const std::string& path);

    static std::string GetString(const ConfigMap* map, const std::string& key, const std::string& defaultValue);
    // The value as a decimal number (leading blanks, sign, digits up to the first other character,
    // no digits: 0, clamped to the int range), or the default when the key is absent.
    static int GetInt(const ConfigMap* map, const std::string& key, int defaultValue);
    // True when absent; "TRUE" (any case) true, "FALSE" or "0" false, anything else true.
    static bool GetBool(const ConfigMap* map, const std::string& key);
    // A copy of every pair, in key order.
    static ConfigMap GetAll(const ConfigMap* map);

    // Sets the key in the map and in the file: existing lines of the key are rewritten keeping
    // comments, a new key is appended as "key = value". Keys that are empty or hold CR, LF, '='
    // or '#', and values with CR, LF or '#', are refused with CConfigureFailure, as they would
    // change other lines or be cut at the next load.
    static void SetValue(ConfigMap* map, const std::string& key, const std::string& value);
    static void SetValue(ConfigMap* map, const std::string& key, int value);

    // Upper-cases a-z in place.
    static void ToUpper(std::string& text);

private:
    static void UpdateKey(const std::string& key, const std::string& value);
    static void InsertKey(const std::string& key, const std::string& value);
};
