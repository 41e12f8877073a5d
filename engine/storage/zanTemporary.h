// Files built beside a database under a temporary name before they take their own.
#pragma once

#include <string>

namespace zan {

// The name a file is built under beside path before it takes its own: path.tmp<process id>.
std::string TemporaryFileNameFor(const std::string& path);

// Removes what a process that is gone left beside the database under a temporary name (the
// file, its journal and its users file): a creator or copier killed before its rename. A name
// whose process lives is kept, unless that process started after the file last changed (its id
// was reused). Failures are ignored: such files only take room.
void RemoveStaleTemporaries(const std::string& databaseFileName);

// Removes the users file of a temporary name unless a connection holds a lock in it: the name
// may also be the users file of another database in the folder (shop.zan.tmp<pid> and
// shop.zan.old both use shop.zan.lck), and removing one in use splits its connections between
// two files whose locks never meet.
void RemoveIdleUsersFile(const std::string& usersFileName);

} // namespace zan
