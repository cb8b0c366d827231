// The diffractometer profile file DIFPROF.DAT, read once at start-up into S().profile.
#pragma once

namespace dorvex {

// Reads program_directory + "DIFPROF.DAT"; a fatal error goes through ERRORLOG (error flag).
void READ_DIFPROF();

}  // namespace dorvex
