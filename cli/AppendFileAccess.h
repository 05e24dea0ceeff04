#pragma once

// The access rights with which the log's append file is opened on Windows,
// beside those that each call made on its handle needs by Microsoft's
// documentation of the call. Windows checks them on every call (Wine does
// not), so a handle opened with too little fails every record: kept here,
// apart from the Windows code, so that a test on any system checks the one
// against the other.
namespace AppendFileAccess {

inline constexpr unsigned long GenericRead = 0x80000000ul;   // GENERIC_READ
inline constexpr unsigned long GenericWrite = 0x40000000ul;  // GENERIC_WRITE

// Not FILE_APPEND_DATA alone: the records are placed at the end by Append.
inline constexpr unsigned long Opened = GenericRead | GenericWrite;

struct Need {
    const char* Call;
    unsigned long AnyOf;  // the handle needs at least one of these rights
};
inline constexpr Need Needs[] = {
    {"LockFileEx", GenericRead | GenericWrite},
    {"UnlockFileEx", GenericRead | GenericWrite},
    {"FlushFileBuffers", GenericWrite},
    {"SetEndOfFile", GenericWrite},
    {"WriteFile", GenericWrite},
    {"SetFilePointerEx", GenericRead | GenericWrite},
    {"GetFileSizeEx", GenericRead},  // FILE_READ_ATTRIBUTES, which GENERIC_READ holds
};

}  // namespace AppendFileAccess
