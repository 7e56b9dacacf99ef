// The system's message texts for FormatMessage(FORMAT_MESSAGE_FROM_SYSTEM):
// the Windows English texts of every error code the programs can meet.
#include "internal/system_messages.h"

namespace pal {
namespace {

struct SystemText {
    DWORD code;
    const char16_t* text;
};

const SystemText kTexts[] = {
    {0, u"The operation completed successfully.\r\n"},
    {1, u"Incorrect function.\r\n"},
    {2, u"The system cannot find the file specified.\r\n"},
    {3, u"The system cannot find the path specified.\r\n"},
    {4, u"The system cannot open the file.\r\n"},
    {5, u"Access is denied.\r\n"},
    {6, u"The handle is invalid.\r\n"},
    {8, u"Not enough storage is available to process this command.\r\n"},
    {11, u"An attempt was made to load a program with an incorrect format.\r\n"},
    {13, u"The data is invalid.\r\n"},
    {14, u"Not enough storage is available to complete this operation.\r\n"},
    {18, u"There are no more files.\r\n"},
    {21, u"The device is not ready.\r\n"},
    {24, u"The program issued a command but the command length is incorrect.\r\n"},
    {29, u"The system cannot write to the specified device.\r\n"},
    {30, u"The system cannot read from the specified device.\r\n"},
    {31, u"A device attached to the system is not functioning.\r\n"},
    {32, u"The process cannot access the file because it is being used by another process.\r\n"},
    {38, u"Reached the end of the file.\r\n"},
    {39, u"The disk is full.\r\n"},
    {50, u"The request is not supported.\r\n"},
    {80, u"The file exists.\r\n"},
    {87, u"The parameter is incorrect.\r\n"},
    {109, u"The pipe has been ended.\r\n"},
    {112, u"There is not enough space on the disk.\r\n"},
    {120, u"This function is not supported on this system.\r\n"},
    {121, u"The semaphore timeout period has expired.\r\n"},
    {122, u"The data area passed to a system call is too small.\r\n"},
    {123, u"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {126, u"The specified module could not be found.\r\n"},
    {131, u"An attempt was made to move the file pointer before the beginning of the file.\r\n"},
    {145, u"The directory is not empty.\r\n"},
    {161, u"The specified path is invalid.\r\n"},
    {170, u"The requested resource is in use.\r\n"},
    {183, u"Cannot create a file when that file already exists.\r\n"},
    {193, u"%1 is not a valid Win32 application.\r\n"},
    {203, u"The system could not find the environment option that was entered.\r\n"},
    {206, u"The filename or extension is too long.\r\n"},
    {231, u"All pipe instances are busy.\r\n"},
    {232, u"The pipe is being closed.\r\n"},
    {233, u"No process is on the other end of the pipe.\r\n"},
    {234, u"More data is available.\r\n"},
    {258, u"The wait operation timed out.\r\n"},
    {259, u"No more data is available.\r\n"},
    {267, u"The directory name is invalid.\r\n"},
    {288, u"Attempt to release mutex not owned by caller.\r\n"},
    {298, u"Too many posts were made to a semaphore.\r\n"},
    {299, u"Only part of a ReadProcessMemory or WriteProcessMemory request was completed.\r\n"},
    {317, u"The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {487, u"Attempt to access invalid address.\r\n"},
    {534, u"Arithmetic result exceeded 32 bits.\r\n"},
    {535, u"There is a process on other end of the pipe.\r\n"},
    {536, u"Waiting for a process to open the other end of the pipe.\r\n"},
    {995, u"The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {996, u"Overlapped I/O event is not in a signaled state.\r\n"},
    {997, u"Overlapped I/O operation is in progress.\r\n"},
    {998, u"Invalid access to memory location.\r\n"},
    {1004, u"Invalid flags.\r\n"},
    {1008, u"An attempt was made to reference a token that does not exist.\r\n"},
    {1009, u"The configuration registry database is corrupt.\r\n"},
    {1010, u"The configuration registry key is invalid.\r\n"},
    {1011, u"The configuration registry key could not be opened.\r\n"},
    {1012, u"The configuration registry key could not be read.\r\n"},
    {1013, u"The configuration registry key could not be written.\r\n"},
    {1015, u"The registry is corrupted. The structure of one of the files containing registry data is corrupted, "
           u"or the system's memory image of the file is corrupted, or the file could not be recovered because "
           u"the alternate copy or log was absent or corrupted.\r\n"},
    {1016, u"An I/O operation initiated by the registry failed unrecoverably. The registry could not read in, or "
           u"write out, or flush, one of the files that contain the system's image of the registry.\r\n"},
    {1018, u"Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {1021, u"Cannot create a stable subkey under a volatile parent key.\r\n"},
    {1022, u"A notify change request is being completed and the information is not being returned in the "
           u"caller's buffer. The caller now needs to enumerate the files to find the changes.\r\n"},
    {1051, u"A stop control has been sent to a service that other running services are dependent on.\r\n"},
    {1052, u"The requested control is not valid for this service.\r\n"},
    {1053, u"The service did not respond to the start or control request in a timely fashion.\r\n"},
    {1054, u"A thread could not be created for the service.\r\n"},
    {1055, u"The service database is locked.\r\n"},
    {1056, u"An instance of the service is already running.\r\n"},
    {1057, u"The account name is invalid or does not exist, or the password is invalid for the account name "
           u"specified.\r\n"},
    {1058, u"The service cannot be started, either because it is disabled or because it has no enabled devices "
           u"associated with it.\r\n"},
    {1060, u"The specified service does not exist as an installed service.\r\n"},
    {1061, u"The service cannot accept control messages at this time.\r\n"},
    {1062, u"The service has not been started.\r\n"},
    {1063, u"The service process could not connect to the service controller.\r\n"},
    {1064, u"An exception occurred in the service when handling the control request.\r\n"},
    {1065, u"The database specified does not exist.\r\n"},
    {1066, u"The service has returned a service-specific error code.\r\n"},
    {1067, u"The process terminated unexpectedly.\r\n"},
    {1070, u"After starting, the service hung in a start-pending state.\r\n"},
    {1072, u"The specified service has been marked for deletion.\r\n"},
    {1073, u"The specified service already exists.\r\n"},
    {1132, u"The base address or the file offset specified does not have the proper alignment.\r\n"},
    {1150, u"The specified program requires a newer version of Windows.\r\n"},
    {1168, u"Element not found.\r\n"},
    {1223, u"The operation was canceled by the user.\r\n"},
    {1300, u"Not all privileges or groups referenced are assigned to the caller.\r\n"},
    {1307, u"This security ID may not be assigned as the owner of this object.\r\n"},
    {1314, u"A required privilege is not held by the client.\r\n"},
    {1332, u"No mapping between account names and security IDs was done.\r\n"},
    {1336, u"The access control list (ACL) structure is invalid.\r\n"},
    {1337, u"The security ID structure is invalid.\r\n"},
    {1338, u"The security descriptor structure is invalid.\r\n"},
    {1347, u"Cannot open an anonymous level security token.\r\n"},
    {1450, u"Insufficient system resources exist to complete the requested service.\r\n"},
    {1460, u"This operation returned because the timeout period expired.\r\n"},
    {1500, u"The event log file is corrupted.\r\n"},
    {1501, u"No event log file could be opened, so the event logging service did not start.\r\n"},
    {1502, u"The event log file is full.\r\n"},
    {1816, u"Not enough quota is available to process this command.\r\n"},
    {1812, u"The specified image file did not contain a resource section.\r\n"},
    {1813, u"The specified resource type cannot be found in the image file.\r\n"},
    {1814, u"The specified resource name cannot be found in the image file.\r\n"},
};

}  // namespace

const char16_t* SystemMessageText(DWORD code) {
    for (const SystemText& t : kTexts)
        if (t.code == code) return t.text;
    return nullptr;
}

}  // namespace pal
