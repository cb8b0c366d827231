// The dispatcher. A line either starts a command (its first four columns
// matched against the table) or, while a command waits for input, is handed whole to that
// command through its continuation code.
#include "shell/dispatcher.hpp"

#include <array>

#include "common/fields.hpp"
#include "common/state.hpp"
#include "instrument/controller.hpp"
#include "instrument/motion.hpp"
#include "centring/commands.hpp"
#include "datacol/commands.hpp"
#include "geometry/commands.hpp"
#include "geometry/display.hpp"  // DISPLAY_UB, PRINT_MATRICES
#include "geometry/matfile.hpp"  // what is unsaved at EXIT
#include "instrument/commands.hpp"
#include "reflections/commands.hpp"
#include "shell/commands.hpp"
#include "shell/help_text.hpp"  // the nearest names to an unknown word
#include "shell/set_show.hpp"  // CANCEL_SET
#include "console/clock.hpp"  // instrument time of each command on a simulated instrument
#include "console/output.hpp"
#include "console/status.hpp"
#include "toolkit/toolkit.hpp"

namespace dorvex {

namespace {

enum class Rule { all, normal_only, filters, half_slits };

struct Command {
  void (*routine)();
  Rule rule;
};

void drive_command() { DRIV_COMMAND(); }
void centre_0() { CNTR_COMMAND(0); }
void centre_1() { CNTR_COMMAND(1); }

// Routines of commands 1..78 in table order (EXIT, number 2, is the dispatcher's own).
const std::array<Command, kCommandCount> kCommands = {{
    {HELP, Rule::all},                       // 1 HELP
    {nullptr, Rule::all},                    // 2 EXIT
    {GETCELL, Rule::all},                    // 3 CELL
    {ENTOM, Rule::all},                      // 4 OM
    {RUN_CALCOM, Rule::all},                 // 5 COM
    {ANGCAL, Rule::all},                     // 6 CALC
    {drive_command, Rule::normal_only},      // 7 DRIV
    {RUN_INTEGR, Rule::normal_only},         // 8 DC I
    {MOTORU, Rule::normal_only},             // 9 MOT
    {RUN_SET, Rule::all},                    // 10 SET
    {centre_0, Rule::normal_only},           // 11 CNTR
    {GETIDX, Rule::all},                     // 12 INDX
    {RUN_INTALL, Rule::normal_only},         // 13 DC S
    {MTINIT, Rule::normal_only},             // 14 LDMT
    {ONBEAM_COMMAND, Rule::normal_only},     // 15 OPSH
    {OFBEAM_COMMAND, Rule::normal_only},     // 16 CLSH
    {DELETE_LIST, Rule::all},                // 17 DEL
    {INSERT_HKL, Rule::all},                 // 18 INH
    {INSERT_ANGLES, Rule::all},              // 19 INA
    {RUN_REFINE, Rule::normal_only},         // 20 REF
    {DIS_CMD, Rule::all},                    // 21 AUTO
    {LSQ_COMMAND, Rule::all},                // 22 LSQ
    {DISPLAY_LIST, Rule::all},               // 23 LIST
    {RUN_TRANS, Rule::all},                  // 24 TRAN
    {INSERT_HKL_ANGLES, Rule::all},          // 25 IND
    {RUN_SEARCH, Rule::normal_only},         // 26 SRCH
    {RUN_ZREF, Rule::normal_only},           // 27 ZREF
    {STPALL_COMMAND, Rule::normal_only},     // 28 HALT
    {PROFST, Rule::normal_only},             // 29 PROF
    {USE_LIST, Rule::all},                   // 30 USE
    {INDEX_LIST, Rule::all},                 // 31 INDL
    {RUN_CONE, Rule::normal_only},           // 32 CONE
    {RUN_PSI, Rule::normal_only},            // 33 DC P
    {DIS_CMD, Rule::all},                    // 34 PRNT
    {RUN_LSVEC, Rule::all},                  // 35 CLSQ
    {centre_1, Rule::normal_only},           // 36 CENT
    {ANGLETABLE, Rule::all},                 // 37 ANGL
    {RUN_INTLIST, Rule::normal_only},        // 38 DC L
    {SORT_LIST, Rule::all},                  // 39 SORT
    {DIS_CMD, Rule::all},                    // 40 BRAV
    {RUN_NOTE, Rule::all},                   // 41 NOTE
    {DIS_CMD, Rule::all},                    // 42 GRID
    {DIS_CMD, Rule::all},                    // 43 CALI
    {DRIVE_LIST, Rule::normal_only},         // 44 DVLS
    {DIS_CMD, Rule::all},                    // 45 POW
    {ZERO_COMMAND, Rule::normal_only},       // 46 ZERO
    {RUN_VIEW, Rule::normal_only},           // 47 VIEW
    {RUN_SCANHKL, Rule::normal_only},        // 48 SCAN
    {INDXC, Rule::all},                      // 49 INDC
    {DIS_CMD, Rule::all},                    // 50 FACE
    {READ_INTERFACE_COMMAND, Rule::normal_only},  // 51 CPOS
    {PARK_COMMAND, Rule::normal_only},       // 52 PARK
    {PHOTO_SCAN, Rule::all},                 // 53 PHOT
    {INPUT_PHOTO, Rule::all},                // 54 CALP
    {FILTER, Rule::filters},                 // 55 FILT
    {HALF_SLITS, Rule::half_slits},          // 56 HALF
    {DIS_CMD, Rule::all},                    // 57 LOG
    {RUN_TTHREFINE, Rule::all},              // 58 TLSQ
    {COUNTER, Rule::normal_only},            // 59 COUN
    {DIRECT_COMM, Rule::normal_only},        // 60 DCOM (also SUPERVISOR)
    {RUN_DEMO, Rule::normal_only},           // 61 DEMO
    {DISPLAY_UB, Rule::all},                 // 62 PROM
    {OMIT_LIST, Rule::all},                  // 63 OMIT
    {SHOW, Rule::all},                       // 64 SHOW
    {TEST, Rule::all},                       // 65 TEST
    {GOTO_ANGLES, Rule::normal_only},        // 66 GOTO
    {UBIMPORT, Rule::all},                   // 67 UBIM
    {SEARCH_REFERENCE, Rule::all},           // 68 FREF
    {INSERT_LAUE, Rule::all},                // 69 INL
    {RUN_ZREF_MULTI, Rule::normal_only},     // 70 ZREM
    {RUN_CEN8, Rule::normal_only},           // 71 CEN8
    {PRINT_MATRICES, Rule::all},             // 72 PMAT
    {RUN_STEP, Rule::all},                   // 73 STEP
    {UBEXPORT, Rule::all},                   // 74 UBEX
    {RUN_MACRO, Rule::all},                  // 75 MACR
    {RUN_HKLF, Rule::all},                   // 76 HKLF
    {RUN_AUTOINDEX, Rule::all},              // 77 INDA
    {RUN_LATTICE, Rule::all},                // 78 LATT
}};

constexpr int kExit = 2;
constexpr int kDirectComm = 60;

struct Continuation {
  int code;
  void (*routine)();
  bool hardware;  // honoured only outside DUMMY mode
};

const Continuation kContinuations[] = {
    {1, ANGCAL, false},           {2, MOTORU, true},           {3, MTINIT, true},
    {4, DRIVE_LIST, true},        {5, centre_0, true},         {6, DIRECT_COMM, true},
    {7, INSERT_HKL, false},       {8, INSERT_ANGLES, false},   {9, INSERT_HKL_ANGLES, false},
    {10, DELETE_LIST, false},     {11, USE_LIST, false},       {12, OMIT_LIST, false},
    {13, INDEX_LIST, false},      {14, INDEX_LIST, false},     {15, GETIDX, false},
    {16, RUN_LSVEC, false},       {17, GETCELL, false},        {18, ENTOM, false},
    {19, RUN_TTHREFINE, false},   {20, RUN_CALCOM, false},     {21, RUN_TRANS, false},
    {22, FILTER, true},           {23, HALF_SLITS, true},      {24, RUN_SET, false},
    {25, RUN_VIEW, true},         {26, PROFST, true},          {27, RUN_DEMO, true},
    {28, RUN_NOTE, false},        {29, RUN_ZREF, true},        {30, RUN_REFINE, true},
    {31, INDXC, false},           {32, RUN_INTALL, true},      {33, RUN_INTEGR, true},
    {34, RUN_INTLIST, true},      {35, RUN_PSI, true},         {36, GOTO_ANGLES, true},
    {37, RUN_SCANHKL, true},      {38, UBIMPORT, false},       {39, SEARCH_REFERENCE, true},
    {40, INSERT_LAUE, false},     {41, RUN_SEARCH, true},      {42, RUN_ZREF_MULTI, true},
    {43, RUN_CONE, true},         {44, RUN_CEN8, true},        {45, RUN_STEP, true},
    {46, PHOTO_SCAN, true},       {47, INPUT_PHOTO, false},    {48, UBEXPORT, false},
    {49, SORT_LIST, false},       {50, RUN_MACRO, false},      {51, RUN_HKLF, false},
    {52, RUN_AUTOINDEX, false},   {53, RUN_LATTICE, false},    {99, TEST, false},
};

std::string command_word;  // the table entry being run, for DIS_CMD
std::string dialogue_word;  // the command whose question is pending
int retries = 0;            // answers in a row that were asked again

// Answers asked again this many times in a row end the dialogue: a script or a slip of the
// keyboard would otherwise feed every following command to the question.
constexpr int kMaxRetries = 5;
constexpr int kNoteCode = 28, kDirectCommCode = 6;

// The question was asked again because the answer could not be read or was refused.
bool asked_again() {
  const std::string& prompt = S().shell.prompt;
  for (const char* retry : {"try again", "ReType", "Retype", "Try Again"})
    if (prompt.find(retry) != std::string::npos) return true;
  return false;
}

// Ends the dialogue in progress; what its earlier answers did is undone where the command
// holds them back until its end (SET).
void leave_dialogue(const std::string& why) {
  ShellState& shell = S().shell;
  if (shell.continuation_code == 24) CANCEL_SET();
  shell.continuation_code = 0;
  retries = 0;
  WRITE_OUT(" " + std::string(trim(dialogue_word)) + " " + why);
}

// After a command routine returned: counts the questions asked again.
void count_retries() {
  if (S().shell.continuation_code == 0 || !asked_again()) {
    retries = 0;
    return;
  }
  if (++retries >= kMaxRetries)
    leave_dialogue("ended: " + std::to_string(kMaxRetries) +
                   " answers in a row could not be taken; nothing more is changed");
}
double instrument_total = 0;  // instrument seconds of the commands of this run

const Continuation* find_continuation(int code) {
  for (const Continuation& c : kContinuations) {
    if (c.code == code) return &c;
  }
  return nullptr;
}

// Command number 1..78 of a four-character word, 0 when the table has no such entry.
int find_command(std::string_view word) {
  for (int i = 0; i < kCommandCount; ++i) {
    if (kCommandTable.substr(static_cast<std::size_t>(4 * i), 4) == word) return i + 1;
  }
  return 0;
}

bool allowed(Rule rule) {
  const ProgramState& state = S();
  const bool normal = state.shell.operating_mode == MODE_NORMAL;
  switch (rule) {
    case Rule::all: return true;
    case Rule::normal_only: return normal;
    case Rule::filters: return normal && state.profile.filters();
    case Rule::half_slits: return normal && state.profile.half_slits();
  }
  return false;
}

// The instrument time a command took, on a simulated instrument (a dry run of a macro tells
// how long it would keep the real instrument busy); a command under a second is not "long".
void report_instrument_time(double seconds) {
  if (!instrument_clock_simulated()) return;
  instrument_total += seconds;
  if (seconds >= 0.5) WRITE_OUT("  took " + hms_text(seconds) + " of instrument time");
}

void park_and_release() {
  WRITE_OUT("Parking the diffractometer");
  OFBEAM();
  if (S().shell.error_flag != 0) return;
  PARK();
  if (S().shell.error_flag != 0) return;
  FINISH();
}

void exit_command() {
  offer_to_save_crystal();
  if (S().shell.operating_mode != MODE_NORMAL) return;
  const double start = instrument_seconds();
  park_and_release();
  REPORT_STATUS();
  if (!instrument_clock_simulated()) return;
  report_instrument_time(instrument_seconds() - start);
  WRITE_OUT("  Instrument time of the commands of this run: " + hms_text(instrument_total));
}

void blank_argument() { S().shell.command_argument = std::string(kCommandLength, ' '); }

}  // namespace

std::string clean_command_line(std::string_view raw) {
  std::string line(raw.substr(0, kCommandLength));
  for (char& c : line) {
    const auto code = static_cast<unsigned char>(c);
    if (code < 32 || code > 126) c = ' ';
  }
  return line;
}

std::string_view current_command_word() { return command_word; }

bool dispatch_line(std::string_view raw, int& exit_flag) {
  ShellState& shell = S().shell;
  const std::string line = pad(clean_command_line(raw), kCommandLength);
  exit_flag = 0;

  if (shell.continuation_code != 0) {
    // The whole line answers the question of the command in progress.
    shell.command_argument = line;
    const Continuation* waiting = find_continuation(shell.continuation_code);
    const int code = shell.continuation_code;
    if (trim(line) == "-" && code != kNoteCode && code != kDirectCommCode) {
      // "-" leaves any question (a note and the controller dialogue take it as text).
      leave_dialogue("cancelled");
    } else if (waiting != nullptr && !(waiting->hardware && shell.operating_mode == MODE_DUMMY)) {
      waiting->routine();
      count_retries();
    } else {
      // Nothing can take the line; leaving the code set would swallow every later line too.
      shell.continuation_code = 0;
    }
    if (shell.continuation_code == 0) SET_PROMPT_DORVEX();
    return true;
  }

  const std::string word = upper_shift(line.substr(0, 4));
  if (trim(word).empty()) {
    SET_PROMPT_DORVEX();
    return false;
  }
  shell.command_argument = line.substr(4) + "    ";
  const int number = find_command(word);
  if (number == 0) {
    WRITE_OUT("Unknown command");
    WRITE_NEAREST_COMMANDS(word);
    SET_PROMPT_DORVEX();
    return true;
  }
  command_word = std::string(kCommandTable.substr(static_cast<std::size_t>(4 * (number - 1)), 4));
  const Command& command = kCommands[static_cast<std::size_t>(number - 1)];

  if (number == kExit) {
    exit_flag = 1;
    exit_command();
    return true;
  }
  if (shell.operating_mode == MODE_SUPERVISOR) {
    if (number == kDirectComm) DIRECT_COMM();
  } else if (allowed(command.rule)) {
    dialogue_word = command_word;
    retries = 0;
    command.routine();
    count_retries();
  } else if (shell.operating_mode == MODE_DUMMY) {
    // Nothing to drive on the virtual diffractometer; say so rather than return in silence.
    WRITE_OUT(" " + std::string(trim(command_word)) +
              ": nothing moved or counted on the virtual diffractometer");
  }
  if (shell.continuation_code == 0) SET_PROMPT_DORVEX();
  return true;
}

void DRVX_DISP(int& exit_flag) {
  ShellState& shell = S().shell;
  exit_flag = 0;
  for (;;) {
    std::string line;
    if (shell.macro_running != 0) {
      // The question a macro line answers is shown before it, as the prompt of a typed line is.
      if (shell.continuation_code != 0) WRITE_TERM(shell.prompt);
      GET_MACRO(line);
      if (macro_ended()) {
        // The end of the file is no command: a question the last line asked stays pending.
        if (shell.continuation_code == 0) SET_PROMPT_DORVEX();
        return;
      }
    } else {
      GET_COMMAND(line);
    }
    const double start = instrument_seconds();
    const bool ran = dispatch_line(line, exit_flag);
    if (exit_flag != 0) return;
    REFRESH_HKL();
    REPORT_STATUS();
    report_instrument_time(instrument_seconds() - start);
    blank_argument();
    command_word.clear();
    if (!ran) return;  // a blank command line (it pauses a macro)
    if (shell.error_flag != 0 || shell.macro_running == 0) return;
  }
}

void GET_COMMAND(std::string& line) {
  line = clean_command_line(toolkit().last_line());
  USERLOG(S().shell.prompt + std::string(rtrim(line)));
  SET_PROMPT("");
  BLANK_COM();
}

}  // namespace dorvex
