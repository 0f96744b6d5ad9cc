// Reads the line journal that cco-server kept its state in before the state
// file became a database, so that an installed server upgraded in place
// takes its registrations over once. Nothing writes this format any more.
#pragma once

#include "statedatabase.h"

#include <QString>

#include <string>
#include <vector>

namespace services
{
namespace legacyjournal
{
// Whether the file starts like a journal (and so is one, or a damaged one).
bool looksLikeJournal(const QString &path);

// The journal's records in order, or an error text naming the file and the
// damaged line. An unfinished last line was never acknowledged and is left
// out with a note.
std::string read(const QString &path, std::vector<StateDatabase::Change> &records, std::string *note);
}
}
