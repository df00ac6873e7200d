// The "reg" stand-in: a registry kept as text files below the profile folder,
// one folder per key with its values in one file. No state beyond the files.
#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "lib/error_text.hpp"

struct RegistryValue {
  std::string name;
  std::string type;  // "REG_SZ" or "REG_DWORD"
  std::string data;  // a DWORD as decimal digits
};

// The folder that holds `key` (roots in short form, e.g. HKCU), or the error.
std::expected<std::filesystem::path, ErrorText> registry_key_folder(
    const std::filesystem::path& profile, std::string_view key);

// Adds or replaces one value; the key's other values stay.
std::expected<void, ErrorText> registry_add(const std::filesystem::path& profile,
                                            std::string_view key, RegistryValue value);

// Removes the key with its values and subkeys.
std::expected<void, ErrorText> registry_delete(const std::filesystem::path& profile,
                                               std::string_view key);

// The key's values in the order they were first added; empty when it has none.
std::vector<RegistryValue> registry_values(const std::filesystem::path& profile,
                                           std::string_view key);
