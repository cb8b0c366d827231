// The names of the commands. The dispatcher matches the first four columns of a typed line
// against them; the command field of the window completes them.
#pragma once

#include <string_view>

namespace dorvex {

// The 78 four-character entries in table order, one 312-character string. Entries shorter than
// four letters are blank-padded; four have an inner blank ("DC I").
inline constexpr std::string_view kCommandTable =
    "HELPEXITCELLOM  COM CALCDRIVDC IMOT SET CNTRINDXDC SLDMTOPSHCLSHDEL INH INA REF "
    "AUTOLSQ LISTTRANIND SRCHZREFHALTPROFUSE INDLCONEDC PPRNTCLSQCENTANGLDC LSORTBRAV"
    "NOTEGRIDCALIDVLSPOW ZEROVIEWSCANINDCFACECPOSPARKPHOTCALPFILTHALFLOG TLSQCOUNDCOM"
    "DEMOPROMOMITSHOWTESTGOTOUBIMFREFINL ZREMCEN8PMATSTEPUBEXMACRHKLFINDALATT";
constexpr int kCommandCount = 78;
static_assert(kCommandTable.size() == 4 * kCommandCount);

}  // namespace dorvex
