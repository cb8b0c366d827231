// The program-wide records. Every record is a plain struct with default member values; they
// are gathered in one ProgramState reached through S(), and reset_program_state() gives a
// fresh state (every test fixture starts with it). Geometry and fitting routines take the
// records they work on as arguments; command routines read and change S().
//
// Conventions: reals are 32-bit floats, integers 32-bit. Per-motor arrays are indexed by the
// motor number 1..10 (element 0 unused). Matrices are 3x3 floats stored column by column.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace dorvex {

using Vec3 = std::array<float, 3>;

// 3x3 matrix stored column by column; m(i, j) is row i, column j, both 0-based.
struct Mat3 {
  std::array<float, 9> a{};
  float& operator()(int i, int j) { return a[static_cast<std::size_t>(i + 3 * j)]; }
  float operator()(int i, int j) const { return a[static_cast<std::size_t>(i + 3 * j)]; }
  static Mat3 identity(float d = 1.0f) {
    Mat3 m;
    m(0, 0) = m(1, 1) = m(2, 2) = d;
    return m;
  }
};

// The four circle angles in degrees: [0] 2theta, [1] omega (from the bisecting position),
// [2] chi, [3] phi.
using AngleSet = std::array<float, 4>;

// Operating modes fixed at start-up.
enum : int { MODE_SUPERVISOR = -1, MODE_DUMMY = 0, MODE_NORMAL = 1, MODE_CANCELLED = 99 };

// ---------------------------------------------------------------------------------------------
// Shell: flags of the command loop, names of the operator's files, log switches.
struct ShellState {
  int operating_mode = MODE_DUMMY;
  int error_flag = 0;
  int continuation_code = 0;
  std::string command_argument;  // columns 5..80 of a new command, or the whole answer line
  int macro_running = 0;
  std::string prompt;  // the prompt as last set, for the user log

  std::string version = "16-MAR-2012 ";
  std::string program_directory;  // with a trailing '/'
  std::string data_directory;     // with a trailing '/'
  std::string matfile_name = "DORVEX_TEMP";
  std::string datfile_name;
  int datfile_set = 0;
  int centring_scan_count = 0;  // records written to the centring-scan file in this run
  int matfile_chosen = 0;
  // The matrix file as memory would write it (without its date line) after the last load or
  // write: a rewrite that would store the same is not made, so opening a file leaves it as it
  // was. Set when the last load left something of the file out: the next rewrite asks first
  // and keeps the original beside it.
  std::string matfile_stored;
  int matfile_damaged = 0;
  std::string listfile_directory;  // directory of the last reflection list file opened

  // SET LOG switches (0 OFF, 1 ON).
  int log_final_omega_profiles = 0;
  int log_profiles_to_pkprof = 0;
  int log_comm_echo = 0;
  int log_extra_zref = 0;

  // Command-line answers given at start-up (--mat, --port, --simulate).
  std::string startup_matfile;  // empty: ask through the file dialog
  std::string port_override;    // empty: COM-port mapping
};

// ---------------------------------------------------------------------------------------------
// Machine profile (DIFPROF.DAT).
struct MotorProfile {
  int recorded = 0;                 // the driver's motor check accepted the MOTOR line
  std::array<float, 10> raw{};      // the ten reals of the MOTOR line as read
  float steps_per_degree = 0.0f;    // value 1
  std::array<float, 4> p{};         // the four further controller parameters (values 2..5)
  float lower = 0.0f;               // hardware limits (after the driver's defaults)
  float upper = 0.0f;
  char axis = ' ';                  // controller axis character
};

struct UbTransform {
  Mat3 m;             // row by row as typed in the profile, stored as a matrix
  std::string name;   // 40 characters
};

struct DataCollectionParameters;  // below

struct MachineProfile {
  std::array<MotorProfile, 11> motor{};  // 1..10; motors 9 and 10 have no MOTOR line
  std::array<int, 13> config{};          // CONFIG fields 1..12 as read (0 unused)
  std::array<float, 5> sense{0, 1, 1, 1, 1};  // rotation senses of motors 1..4 (+1 or -1)
  std::array<float, 2> goncon{};
  std::array<float, 8> scans1{};
  std::array<int, 5> scans2_int{};
  std::array<float, 4> scans2_real{};
  int wave_count = 1;
  float lambda1 = 0.0f;
  float lambda2 = 0.0f;
  float ratio = 0.0f;
  float monoc_angle = 0.0f;
  float monoc_unused = 0.0f;
  int monoc_factor = 0;
  float monoc_correction = 0.0f;  // derived at the end of reading
  std::array<float, 10> view{};
  float film_distance = 0.0f;
  int interface_type = 0;         // CONTROL: 1 SMC9000, 2 STADI4, 3 SIN-10, 6 P4, 7 SMC9300
  std::array<float, 11> park{};   // 1..10
  std::array<float, 11> offset{}; // zero offsets 1..10
  std::array<float, 5> photo{};
  std::string difnam;             // diffractometer name (60 characters)
  std::array<int, 11> compor{};   // COMPOR fields 1..10 (after clamping)
  int no_shutter = 0;
  int ubtran_count = 0;
  std::array<UbTransform, 10> ubtran{};

  // Set by the drivers' motor checks.
  float clearance_angle = 40.0f;  // minimum detector/omega clearance (SOFTLIMITS arm check)
  int chi_limited = 0;            // the hardware limits chi (a limited range)
  int phi_limited = 0;            // the hardware limits phi
  int axis_count = 0;             // controller axes reported in a status answer
  std::array<int, 10> axis_motor{};  // controller axis digit 0..9 -> motor number (0 unassigned)

  // CONFIG field 5. 1: omega and 2theta have motors of their own and the omega motor reads the
  // omega circle (theta in a bisecting setting); the motion layer adds half of 2theta when it
  // drives omega and subtracts it when it reads. 0: the omega circle follows half of 2theta
  // by itself (a 2:1 coupling) and its motor reads omega from the bisecting position.
  bool omega_coupled() const { return config[5] == 1; }
  // What the omega motor reads (zero offset left out) at logical 2theta and omega.
  float omega_motor(float two_theta, float omega) const {
    return omega_coupled() ? omega + two_theta / 2.0f : omega;
  }
  bool slits_motorised() const { return config[8] != 0; }
  bool half_slits() const { return config[9] > 0; }
  bool filters() const { return config[10] > 0; }
  int shutter_delay_ms() const { return config[11]; }
  bool shutter_readable() const { return config[12] != 0; }
  bool motor_present(int m) const {
    return m >= 1 && m <= 10 && motor[static_cast<std::size_t>(m)].recorded != 0;
  }
};

// ---------------------------------------------------------------------------------------------
// Crystal.
struct CrystalState {
  std::string title;
  std::array<float, 6> cell{};      // a, b, c (A), alpha, beta, gamma (degrees)
  std::array<float, 6> cell_esd{};
  float volume = 0.0f;
  float volume_esd = 0.0f;           // written with cell_esd by the least-squares commands
  Mat3 B;
  Mat3 UB;
  int wave_count = 1;
  float lambda1 = 0.71073f;
  float lambda2 = 0.0f;
  float ratio = 0.0f;
  std::array<float, 6> cell_typed{};  // the last cell typed to CELL (a short line keeps the rest)
};

// ---------------------------------------------------------------------------------------------
// Reflection list.
struct ReflectionEntry {
  float h = 0, k = 0, l = 0;
  AngleSet angles{};
  int ref = 0;        // 0 typed/computed, 1 CENT, 2 CNTR/REF, 4 four positions, 8 eight
  int use = 1;
  int intensity = 0;
};

constexpr int kListSize = 60;

struct ReflectionList {
  int count = 0;
  std::array<ReflectionEntry, kListSize> entry{};  // entry[0] is list number 1
};

// ---------------------------------------------------------------------------------------------
// Centring settings (SET CENTER, SCANS1/SCANS2 lines), fields in their stored order.
struct CentringParameters {
  int two_theta_fixed = 0;
  int eta_refined = 0;
  int chi_final_steps = 0;
  int omega_final_steps = 0;
  float min_count_rate = 0;
  float max_min_ratio = 0;
  float max_time_per_step = 0;
  float slit5 = 0, slit6 = 0;
  float required_max_count = 0;
  float eta = 0;
  float initial_omega_width_a = 0, initial_omega_width_b = 0;
  float final_omega_width_a = 0, final_omega_width_b = 0;
  float chi_width_coeff = 0;
  int final_omega_method = 0;  // bit 0 set: parabola fit, clear: profile fit
  bool parabola() const { return (final_omega_method & 1) != 0; }
};

// ---------------------------------------------------------------------------------------------
// Sample-environment device and the working angle limits (SET DEVICE; DEVICE and HIGHT lines).
// The chi, phi and omega limits here are the limits the motion layer enforces for motors 3, 4
// and 2; they start as the hardware limits of the profile and are only ever narrowed.
struct DeviceSettings {
  // 0 none, 1 DAC, 2 HEATED DAC, 3 COOLER, 4 FURNACE, 5 JT COOLER, 6 ULTRAS DAC
  int type = 0;
  int fixed_phi = 0;      // geometry mode: 1 fixed phi, 0 bisecting
  float psi_max = 90.0f;
  int chi_limited = 0;
  int phi_limited = 0;
  float chi_lower = 0, chi_upper = 0;
  float phi_lower = 0, phi_upper = 0;
  float gasket_angle = 0, zaxis_angle = 0;  // device 6 restrictions
  float omega_lower = 0, omega_upper = 0;
  float chi_pause = 0;       // seconds after large chi moves
  float chi_pause_move = 0;  // degrees of chi that trigger the pause
  int restricted_range = 0;
  float psi_bound = 90.0f;   // largest psi maximum the dialogue accepts
};

// ---------------------------------------------------------------------------------------------
// Data-collection settings (DSCAN1, DSCAN2, HKLORD, ALLSTD, HKLST, SHELL, SGROUP lines).
struct DataCollectionParameters {
  float scan_type = 1, psi_scans = 0, step = 0, time_per_step = 0, constant_precision = 0,
        required_i_over_sigma = 0, max_scans = 0, violations_mode = 0, psi_interval = 0,
        reserve = 0, min_i_over_sigma = 0, multiple_psi = 0;
  std::array<float, 11> shell_lower{}, shell_upper{};  // shells 1..10
  std::array<int, 11> shell_selected{};                // shells 1..10
  std::array<int, 6> index_limits{};                   // hmin, hmax, kmin, kmax, lmin, lmax
  std::array<int, 3> increment_order{1, 2, 3};
  std::array<int, 6> standards_in_use{};               // standards 1..5
  std::array<Vec3, 6> standard_indices{};              // h, k, l of standards 1..5 (integers)
  int standard_count = 0;
  int standard_interval = 0;
  float scan_width_a = 0, scan_width_b = 0;
  int sequence_number = 0;
  int space_group_number = 0;
  std::string space_group_symbol;  // 20 characters
};

// ---------------------------------------------------------------------------------------------
// Motion layer: cached positions, shutter, the drive record, the target setting.
struct MotionState {
  std::array<float, 11> cached{};   // logical degrees, motors 1..10
  std::array<int, 11> valid{};
  int shutter_state = 0;            // last commanded: 1 open, 0 closed
  int halting = 0;
  int beam_guard_override = 0;
  std::array<int, 6> per_motor{};   // the six per-motor integers cleared at start-up
  std::array<float, 4> drive_target{};    // drive record: controller targets of motors 1..4
  std::array<float, 4> drive_distance{};  // drive record: distances of motors 1..4
  AngleSet target{};                // target setting written by CALC, driven by DRIV
};

// ---------------------------------------------------------------------------------------------
// Status fields of the master window (shown by the full-screen window; the line console
// keeps them only).
struct StatusFields {
  std::string action = "WAITING";
  AngleSet angles{};
  std::string hkl;
  float slit1 = 0, slit2 = 0;
  std::string shutter = "Shutter: closed";  // the shutter starts closed
  float count_rate = 0;
  long counts = 0;          // the last count of COUN: counts, seconds, and its number
  float count_seconds = 0;
  int count_serial = 0;
  float detector = 0;
  bool detector_shown = true;
  float sample_z = 0;
  bool sample_z_shown = true;
  std::string experiment;  // matrix-file name (20 characters)
  std::string datafile;    // data-file name (20 characters)
  std::string title;       // title text of the virtual window
  std::string progress;    // long work: "reflection n of N ..., about h:mm left" (empty: none)
  bool positions_asked = false;  // the operator asked for the positions (CPOS)
};

// ---------------------------------------------------------------------------------------------
// Dialogue steps and remembered answers of the refinement and cell tools (TRAN, INDC).
struct RefinementDialogs {
  int tran_substate = 0;   // 1 typing rows, 2 left-handed confirmation, 3 apply confirmation
  int tran_row = 1;        // row being typed, 1..3
  Mat3 tran_matrix;        // the transformation as typed
  float indc_tth_tolerance = 0.0f;  // the tolerances of the previous INDC (0 at start)
  float indc_psi_tolerance = 0.0f;

  // INDA: its tolerances (kept between runs) and the cell waiting for acceptance.
  int inda_step = 0;                  // 1 reading the tolerances, 2 awaiting Accept (Y/N)
  float inda_tth_tolerance = 0.3f;    // degrees
  float inda_angle_tolerance = 0.5f;  // degrees
  float inda_max_edge = 50.0f;        // longest lattice vector searched, A
  Mat3 inda_ub;                       // the reduced orientation found

  // LATT: its tolerance, the lattices listed, and the lattice last taken. The crystal system
  // is offered to CLSQ while the cell is still that lattice's conventional cell.
  int latt_step = 0;                  // 1 reading the tolerance, 2 awaiting the choice
  float latt_tolerance = 1.0f;        // degrees
  std::vector<Mat3> latt_transforms;  // rows: conventional axes in terms of the current ones
  std::vector<int> latt_systems;      // their CLSQ crystal systems (0 triclinic)
  std::string latt_centrings;         // their centring letters
  int lattice_system = 0;             // CLSQ crystal system of the lattice taken (0 none)
  char lattice_centring = 'P';
  std::array<float, 6> lattice_cell{};  // the conventional cell it gave
};

// ---------------------------------------------------------------------------------------------
// The SET dialogue in progress (it survives a closed window, so that the next SET resumes it).
// Centring and device answers are collected in copies and take effect when the dialogue ends.
struct SetDialogue {
  int option = 0;  // 0 none, 1 title, 2 wave, 3 centre, 4 device, 5 data file, 6 matrix file,
                   // 8 log, 9 data
  int title_step = 0, wave_step = 0, centre_step = 0, device_step = 0, log_step = 0;
  int log_last_number = 0;     // the number most recently typed in a SET LOG answer
  std::string pending_prompt;  // the question awaiting an answer
  CentringParameters centring;
  DeviceSettings device;
};

struct ProgramState {
  ShellState shell;
  MachineProfile profile;
  CrystalState crystal;
  ReflectionList list;
  CentringParameters centring;
  DeviceSettings device;
  DataCollectionParameters datacol;
  MotionState motion;
  StatusFields status;
  StatusFields status_reported;  // the fields as a console without them was last told
  RefinementDialogs refine;
  SetDialogue set;
};

ProgramState& S();
void reset_program_state();

}  // namespace dorvex
