// The texts the gateway shows its users: reports of the driver and the
// failure texts of the Engine link.
//
// They are kept exactly as they are on purpose, odd as some look: they name
// Windows calls, mix "KAVRO" and "KAVRO3", and begin or end with newlines,
// because engines, operators' monitoring and the pages of existing sites
// match them byte for byte. The two texts marked "ours" are this gateway's
// own additions, for cases the original left unsettled.
#pragma once

namespace kavro::text {

inline constexpr char kNoProcessHeap[] = "KAVRO3 GetProcessHeap failure.";
inline constexpr char kNoStdHandle[] = "KAVRO GetStdHandle failed, error %d.";
inline constexpr char kNoMemory[] = "KAVRO memory allocation failure.";
// Follows kNoMemory when the form fields could not be re-encoded.
inline constexpr char kNoMemoryForFields[] = "KAVRO memory allocation error";
inline constexpr char kWriteFailed[] = "KAVRO WriteFile failed, error %d.";
inline constexpr char kWriteIncomplete[] = "KAVRO WriteFile did not write complete reply.";

inline constexpr char kDisconnected[] = "\nCommunication failure - Engine Server has disconnected\n";
inline constexpr char kSocketVersion[] = "\nError: socket library must support 1.1 or greater.\n";
// Formatted with the host and port texts as configured, then followed by the
// message for the WinSock code (connectErrorMessage).
inline constexpr char kConnectPrefix[] = "Unable to connect to Engine Server %s:%s - ";
inline constexpr char kUnknownError[] = "Unknown error.\n";

// Ours, for the error log only: a spool file that could not be made, or not
// written whole (removed, and the engine gets ERROR); the path, then the
// system's reason.
inline constexpr char kSpoolNotMade[] = "KAVRO3 cannot make the spool file %s: %s";
inline constexpr char kSpoolNotWritten[] = "KAVRO3 cannot write the spool file %s whole: %s";

// Ours: a ServerURL or ServerPort that holds no item.
inline constexpr char kNoServer[] = "No Engine Server is configured.\n";
// Ours: a text whose length would need more than eight digits.
inline constexpr char kTooLarge[] = "KAVRO request too large for the Engine link.";

struct CodeMessage {
  int code;
  const char* message;
};

// WinSock codes (WSAGetLastError) and their messages after kConnectPrefix.
inline constexpr CodeMessage kConnectMessages[] = {
    {10004, "The (blocking) call was canceled via WSACancelBlockingCall().\n"},
    {10014, "The namelen argument is incorrect.\n"},
    {10022, "The socket is not already bound to an address.\n"},
    {10024, "No more file descriptors are available.\n"},
    {10036, "address blocking Windows Sockets operation is in progress.\n"},
    {10038, "The descriptor is not a socket.\n"},
    {10039, "address destination address is required.\n"},
    {10041, "The specified protocol is the wrong type for this socket.\n"},
    {10043, "The specified protocol is not supported.\n"},
    {10044, "Socket type is not supported in this address family.\n"},
    {10047, "The specified address family is not supported.\n"},
    {10048, "The specified address is already in use.\n"},
    {10049, "Specified address is not available from the local machine.\n"},
    {10050, "Network subsystem failure.\n"},
    {10051, "The network can't be reached from this host at this time.\n"},
    {10055, "No buffer space available. The socket cannot be created.\n"},
    {10056, "The socket is already connected.\n"},
    {10060, "Attempt timed out without establishing a connection.\n"},
    {10061, "The attempt to connect was forcefully rejected.\n"},
    {10093, "Unable to initialise socket.\n"},
    {11001, "Authoritative Answer Host not found.\n"},
    {11002, "Non-Authoritative Host not found or SERVERFAIL.\n"},
    {11003, "Non recoverable errors, FORMERR, REFUSED, NOTIMP.\n"},
    {11004, "Valid name, no data record of requested type.\n"},
};

}  // namespace kavro::text
