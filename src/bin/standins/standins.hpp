// What the stand-ins for the side programs of the game's home system share:
// the user profile folder that stands for the home system's user folders.
// Each stand-in is a small program of its own with its part in
// powershell.hpp, reg.hpp or cmd.hpp; all of them build one library.
#pragma once

#include <filesystem>
#include <optional>

// $XDG_DATA_HOME/reeftown-windows, or ~/.local/share/reeftown-windows when
// XDG_DATA_HOME is unset or relative; none without a home folder.
std::optional<std::filesystem::path> windows_profile_folder();
