// Console output, the two logs and the message routines. All text the program shows or records
// goes through these; ERRORLOG is the only place where the error flag is raised for a reported
// error. Texts are trimmed of trailing blanks.
#pragma once

#include <iosfwd>  // std::istream of the open list file
#include <string>
#include <string_view>

namespace dorvex {

void WRITE_TERM(std::string_view text);      // console only
void WRITE_OUT(std::string_view text);       // console and user log
void WRITE_OUT_LONG(std::string_view text);  // in pieces of 80 characters through WRITE_OUT
void WRITE_OUT_CR(int n);                    // n empty lines through WRITE_OUT
void MESSAGE(std::string_view text);         // console, installation log, user log
void WARNING(std::string_view text);         // banner and text in the warning style; both logs
void ERRORLOG(std::string_view text);        // both logs, error box, error_flag = 1
void INSTLOG(std::string_view text);         // installation log entry with time stamp
void USERLOG(std::string_view text);         // user log line

// The one-line answer of a command whose routine is not part of this build.
void not_available(std::string_view command);

// The text of the last ERRORLOG of the run (the reason a fatal start-up gives on stderr).
std::string last_error_text();

}  // namespace dorvex

namespace dorvex {

// Names that survive from one run to the next, and the operator's file choices.
void SET_DIRECTORY();         // program directory, version text, oldparm.sav
void WRITE_SAVEFILE();        // oldparm.sav: matfile_name, data_directory
void SET_DATFILE();           // SET DATF: choose the reflection data file
void OPEN_LISTFILE(int& ok);  // choose and open a reflection list file (ok = 1 on success)
// The reflection list file OPEN_LISTFILE left open (nothing when none is open), and its close.
std::istream* list_file();
void CLOSE_LISTFILE();
// True when `path` names a file that can be opened for reading (a directory cannot).
bool readable_file(const std::string& path);

}  // namespace dorvex
