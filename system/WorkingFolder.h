// The working folder and the folders it is compared with.
#pragma once
#include <string>

// Something at the path that is no folder of the installer's own: a file,
// or a junction or symbolic link. Nothing at all is not foreign.
bool IsForeignFolder(const std::string& path);
// Deletes the folder's files but the run logs, then the folder if empty;
// false, deleting nothing, where the folder is a file, junction or link.
bool PurgeFolder(const std::string& folder);
