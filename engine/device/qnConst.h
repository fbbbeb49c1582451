#pragma once
// The engine's fixed message texts and the message types of the debug channel.
// Texts are shown to users exactly as written here.

#include <cstdint>

namespace qnzb {

// Message types (the mType byte of the debug channel).
inline constexpr uint8_t mtPlain = 0;     // plain messages and errors of the device layer, the application's lines
inline constexpr uint8_t mtProgress = 1;  // progress and verbose lines
inline constexpr uint8_t mtTable = 3;     // a layout table is full
inline constexpr uint8_t mtError = 4;     // errors of the image builder and the engine

// Status lines meant for the user start with this.
inline constexpr const char* StatusPrefix = ">>> ";

inline constexpr const char* msgMaxDirectories = "MAXIMUM DIRECTORIES CAN BE %d";
inline constexpr const char* msgMaxFiles = "MAXIMUM FILES CAN BE %d";
inline constexpr const char* msgInvalidDestination = "INVALID DESTINATION PATH";
// Directory records hold 32-bit sizes: larger files can't be described.
inline constexpr const char* msgFileTooLarge = "FILE TOO LARGE (4 GB OR MORE), NOT ADDED: %s";
inline constexpr const char* msgTooDeep = "FOLDER TOO DEEP (MORE THAN 255 LEVELS), NOT ADDED: %s";
inline constexpr const char* msgFileShrank = "FILE SHRANK SINCE IT WAS ADDED, PADDED WITH ZEROS: %s";
inline constexpr const char* msgJobRunning = "A WRITE JOB IS RUNNING: WAIT FOR IT TO END OR ABORT IT";
inline constexpr const char* msgNameIsFolder = "A FOLDER OF THE SAME NAME EXISTS, FILE NOT ADDED: %s";

} // namespace qnzb
