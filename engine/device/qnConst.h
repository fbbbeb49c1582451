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
inline constexpr const char* msgFileShrank = "FILE SHRANK SINCE IT WAS ADDED, PADDED WITH ZEROS: %s";
inline constexpr const char* msgJobRunning = "A WRITE JOB IS RUNNING: WAIT FOR IT TO END OR ABORT IT";
// What an add leaves out is logged as REASON + msgNotAdded + the source path,
// and counted for the summary the front ends show after the job.
inline constexpr const char* msgNotAdded = ", NOT ADDED: ";
inline constexpr const char* msgLeftOutSummary = "%d FILE(S) LEFT OUT";
inline constexpr const char* whyFileTooLarge = "FILE TOO LARGE (4 GB OR MORE)";
inline constexpr const char* whyFolderTooDeep = "FOLDER TOO DEEP (MORE THAN 255 LEVELS)";
inline constexpr const char* whyLayoutFull = "THE LAYOUT IS FULL";
inline constexpr const char* whyNameIsFolder = "A FOLDER OF THE SAME NAME EXISTS";
inline constexpr const char* whyNameIsFile = "A FILE OF THE SAME NAME EXISTS IN %s";
inline constexpr const char* whyDuplicate = "ANOTHER FILE OF THE SAME NAME IS ALREADY IN %s";
inline constexpr const char* whyEarlierSession = "THE EARLIER SESSION HOLDS ANOTHER FILE OF THE SAME NAME IN %s";
inline constexpr const char* whyPermissionDenied = "PERMISSION DENIED";
// A file that could be read when it was added but not when the burn starts.
inline constexpr const char* whyUnreadableNow = "CAN'T BE READ ANY MORE (%s)";
// A boot image is loaded from its first 512 bytes.
inline constexpr int64_t MinBootImageBytes = 512;
inline constexpr const char* msgBootImageTooSmall = "BOOT IMAGE %s IS TOO SMALL (%lld BYTES): IT NEEDS AT LEAST %d";
inline constexpr const char* msgBootImageUnreadable = "BOOT IMAGE %s CAN'T BE READ, THE DISC WILL NOT BOOT";
// Names the disc can't carry as they are.
inline constexpr const char* msgNameShortened = "NAME TOO LONG FOR THE DISC, PUT ON IT AS \"%s\": %s";
inline constexpr const char* msgNameChanged = "NAME CHANGED FOR THE DISC TO \"%s\": %s";

// Why a command got no answer from the drive: the transport failed, or the
// drive did not answer within the command's time-out.
inline constexpr const char* whyNoAnswerInTime = "DRIVE DID NOT ANSWER IN TIME";
inline constexpr const char* whyDriveGone = "DRIVE IS GONE";
// The last session of a disc left open by a burn that never ended.
inline constexpr const char* msgClosingUnfinished =
    "THE LAST SESSION WAS LEFT UNFINISHED (SESSION %u, %u BLOCKS WRITTEN): CLOSING IT BEFORE THE NEW ONE";
inline constexpr const char* msgUnfinishedNotClosed =
    "THE LAST SESSION OF THE DISC IS UNFINISHED AND THE DRIVE DID NOT CLOSE IT [%s]";
inline constexpr const char* msgUnfinishedTestWrite =
    "THE LAST SESSION OF THE DISC IS UNFINISHED: A TEST WRITE CAN'T CLOSE IT (A REAL BURN CLOSES IT FIRST)";
// What a burn checks before anything is written: the disc in the drive, a
// test write the medium has, and room for the session. %s of the first
// three: what to insert ("A BLANK OR APPENDABLE DISC", "A BLANK DISC").
inline constexpr const char* msgNoDisc = "NO DISC IN THE DRIVE: INSERT %s";
inline constexpr const char* msgTrayOpen = "THE TRAY IS OPEN AND THE DRIVE DID NOT CLOSE IT: INSERT %s AND CLOSE IT";
inline constexpr const char* msgDriveNotReady = "THE DRIVE IS NOT READY [%s]: WAIT FOR IT OR INSERT %s";
inline constexpr const char* msgDriveWritesNothing = "THIS DRIVE ONLY READS DISCS: CHOOSE A RECORDER";
inline constexpr const char* msgMediumReadOnly = "THE DISC IS A %s, WHICH CAN'T BE WRITTEN: INSERT %s";
inline constexpr const char* msgMediumUnknown = "THE DISC IS OF A KIND THIS PROGRAM CAN'T WRITE: INSERT %s";
inline constexpr const char* msgDriveCantWrite = "THIS DRIVE CAN'T WRITE %s DISCS: INSERT ANOTHER KIND OR USE ANOTHER DRIVE";
inline constexpr const char* msgDiscClosed = "THE DISC IS CLOSED, NO SESSION CAN BE ADDED: INSERT %s%s";
inline constexpr const char* msgImageNeedsBlank =
    "THE DISC ALREADY HOLDS DATA, AND AN IMAGE FILE IS WRITTEN FROM THE FIRST SECTOR: INSERT A BLANK DISC%s";
inline constexpr const char* msgOrEraseIt = " OR ERASE THIS ONE";
inline constexpr const char* msgNoTestWriteDrive =
    "THIS DRIVE CAN'T DO A TEST WRITE, IT WOULD RECORD FOR REAL: BURN WITHOUT A TEST WRITE";
inline constexpr const char* msgNoTestWriteMedium =
    "%s DISCS HAVE NO TEST WRITE, THE DRIVE WOULD RECORD FOR REAL: BURN WITHOUT A TEST WRITE";
inline constexpr const char* msgSessionTooLarge =
    "THE SESSION NEEDS %s BUT THE DISC HAS %s FREE: BURN FEWER FILES OR INSERT A DISC WITH MORE ROOM";
inline constexpr const char* msgImageTooLarge =
    "THE IMAGE NEEDS %s BUT THE DISC HAS %s FREE: INSERT A DISC WITH MORE ROOM";
// A DVD+RW whose background format never ends: the erase gives up.
inline constexpr const char* msgFormatTimedOut =
    "THE DRIVE WAS STILL FORMATTING THE DISC AFTER %u SECONDS: GIVING UP; ERASE IT AGAIN OR TRY ANOTHER DISC";
// Another program (or another command of ours) holds the drive for a job.
inline constexpr const char* msgDriveInUse = "the drive is in use by another program";
inline constexpr const char* msgDiscMounted = "the disc is mounted at %s: unmount it first";
inline constexpr const char* whyNoWriteAccess = "NO WRITE ACCESS TO %s";
inline constexpr const char* whyNoAccess = "NO ACCESS TO %s";
inline constexpr const char* whyBusReset = "BUS RESET DURING THE COMMAND";
inline constexpr const char* whyHostError = "DRIVE CONNECTION ERROR (HOST STATUS %02Xh)";
inline constexpr const char* whyIoError = "I/O ERROR ON %s";
inline constexpr const char* whySystemRefused = "THE SYSTEM REFUSED THE COMMAND ON %s (%s)";
// A reply shorter than the fields the command's result is read from.
inline constexpr const char* whyShortReply = "SHORT REPLY FROM THE DRIVE (%u OF %u BYTES)";
// A failed request that carries no status and no sense data.
inline constexpr const char* whyNoStatus = "NO ANSWER FROM THE DRIVE";
inline constexpr const char* whyNoSenseData = "CHECK CONDITION WITHOUT SENSE DATA";
// A time-out whose abort the manager refused: it still holds the request.
inline constexpr const char* msgAbortRefused =
    "%s: NO ANSWER IN TIME AND THE DRIVE MANAGER REFUSED THE ABORT, WAITING FOR IT TO LET GO";
inline constexpr const char* msgAbortAbandoned = "%s: THE DRIVE MANAGER STILL HOLDS THE REQUEST, GIVING UP";

// Reading a previous session back into the layout, and extracting its files.
inline constexpr const char* msgImportingSession = "IMPORTING SESSION # %d";
inline constexpr const char* msgImportError = "ERROR IMPORTING SESSION";
inline constexpr const char* msgImportNotFound = "ERROR IMPORTING SESSION %d (ISO IMAGE NOT FOUND)";
inline constexpr const char* msgImportNameTooLong = "ERROR IMPORTING SESSION, FILE NAME LENGTH EXCEEDS 120 CHARS";
// A damaged session is imported as far as it is sound; each part left out is named.
inline constexpr const char* msgImportSkipped = "SESSION %d: %s SKIPPED (%s)";
inline constexpr const char* msgImportCut = "SESSION %d: DIRECTORY %s READ ONLY IN PART (%s)";
inline constexpr const char* msgImportTreeUnusable = "SESSION %d: %s DIRECTORY TREE UNUSABLE (%s)";
inline constexpr const char* msgImportStopped = "SESSION %d: IMPORT STOPPED, THE LAYOUT IS FULL";
inline constexpr const char* whyLoop = "DIRECTORY ALREADY READ";
inline constexpr const char* whyOutsideDisc = "OUTSIDE THE DISC";
inline constexpr const char* whyNoDirectoryData = "NO DIRECTORY DATA";
inline constexpr const char* whyUnreadable = "UNREADABLE";
inline constexpr const char* whyRecordLength = "BAD RECORD LENGTH";
inline constexpr const char* whyNameLength = "BAD NAME LENGTH";
inline constexpr const char* whyNameTooLong = "NAME TOO LONG";
inline constexpr const char* whyNoName = "NO NAME";
inline constexpr const char* whyTooDeep = "MORE THAN 255 LEVELS";
inline constexpr const char* whyTooLarge = "LARGER THAN 64 MB";
// Names read from a disc become local file names and layout names: a name that
// could leave its folder or hide characters is changed before anything uses it.
inline constexpr const char* msgImportNameChanged = "SESSION %d: NAME %s CHANGED TO %s (NOT A SAFE FILE NAME)";
inline constexpr const char* whyNameTaken = "ANOTHER ENTRY OF THE FOLDER HAS THIS NAME";
inline constexpr const char* msgExtractingFile = "EXTRACTING FILE %s TO %s";
inline constexpr const char* msgExtractNotOnDisc = "EXTRACTING FILE %s FAILED: NOT A FILE OF THE DISC";
inline constexpr const char* msgExtractCreateFailed = "EXTRACTING FILE %s FAILED: CANNOT CREATE %s (%s)";
inline constexpr const char* msgExtractReadFailed = "EXTRACTING FILE %s FAILED: READ ERROR AT SECTOR %u (%s)";
inline constexpr const char* msgExtractWriteFailed = "EXTRACTING FILE %s FAILED: CANNOT WRITE %s (%s)";
inline constexpr const char* msgExtractAborted = "EXTRACTING FILE %s FAILED: OPERATION ABORTED BY USER";

} // namespace qnzb
