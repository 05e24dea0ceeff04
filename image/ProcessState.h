#pragma once

// The process-wide values that the windows and actions share. The program
// has one instance, Globals(); every piece of logic is handed the instance it
// works on, so that tests can give each case a fresh one.

#include <QString>
#include <array>
#include <cstdint>

inline constexpr int ImageSize = 65536;

struct FirmwareVersionBytes {
    std::uint8_t Major = 0;
    std::uint8_t Minor = 0;
};

struct ProcessState {
    // The image of device memory, indexed by address, with the inclusive
    // bounds of the firmware in it.
    std::array<std::uint8_t, ImageSize> FirmwareImage{};
    std::int32_t ImageLowestAddress = 0;
    std::int32_t ImageHighestAddress = 0;

    // The device model, from Config.txt.
    std::array<std::uint8_t, 3> ModelId{};
    // Taken from the firmware file name by the Update action.
    FirmwareVersionBytes FirmwareVersion;
    // Which session the main window asks for: Update, ReadFirmware or neither.
    bool SessionModeUpdate = false;
    bool SessionModeReadFirmware = false;
    // Set only after an acknowledged GoApplication.
    bool SessionSucceeded = false;
    // The COM port number (COM1 is 1).
    std::int16_t ComPortNumber = 0;
    QString AppTitle;
    QString SettingsKeyPath;
    // Chooses between the English and the Chinese twin of a text.
    bool EnglishUi = false;
};

// The program's one instance.
ProcessState& Globals();
