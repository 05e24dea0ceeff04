#pragma once

// What the program folder's Config.txt and the settings store give the
// programs at start-up: the model bytes, the settings key path, the title and
// the stored COM port. The window and the command line read them the same way.

#include <QString>
#include <array>
#include <cstdint>

#include "FileSystem.h"
#include "KeyValueBackend.h"
#include "ProcessState.h"

inline constexpr char ProgramVersion[] = "1.0.0";

// Reads Config.txt of folder: item 1 into state.ModelId (a byte that cannot
// be taken keeps its old value), item 2 into state.SettingsKeyPath, item 3
// into state.AppTitle ("Update" when empty). Every step runs even when an
// earlier one failed. Returns an empty text when the file can be used,
// otherwise the reason: "Cannot start: <path>: <what is wrong>."
QString LoadConfiguration(FileSystem& files, const QString& folder, ProcessState& state);

// Model bytes as item 1 of Config.txt holds them: three whole numbers from
// 0 to 255 joined by ":" (parts after the third are ignored). Each byte that
// can be taken is stored in model; returns an empty text when all three
// could, otherwise what is wrong with them.
QString ParseModelText(const QString& text, std::array<std::uint8_t, 3>& model);

// The stored "ComPort" value under state.SettingsKeyPath into
// state.ComPortNumber: port 1 when nothing is stored; a number too large for
// the port keeps the old value.
void LoadStoredComPort(KeyValueBackend& store, ProcessState& state);
