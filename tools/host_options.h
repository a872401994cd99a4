// The command line of quillfen-mysqldump and the configuration document it turns into. Parsing is
// pure (no environment, no terminal): main() adds the password from a prompt or MYSQL_PWD.
#ifndef QUILLFEN_HOST_OPTIONS_H
#define QUILLFEN_HOST_OPTIONS_H

#include <string>
#include <vector>

enum host_command { CMD_NONE, CMD_PING, CMD_DATABASES, CMD_TABLES, CMD_DUMP };

// Where a text's escaped form must fit in the library's configuration record (its field size
// minus the terminator); longer values would be cut there without a word.
enum {
  HOST_HOST_MAX = 255,
  HOST_USER_MAX = 127,
  HOST_PASSWORD_MAX = 255,
  HOST_DATABASE_MAX = 384,
  HOST_PATH_MAX = 1023,
  HOST_TABLE_MAX = 384,
  HOST_MAX_TABLES = 512,
};

struct host_options {
  host_command command = CMD_NONE;
  std::string host;
  int port = -1;  // -1: not given
  std::string user;
  bool user_given = false;
  std::string password;
  bool password_given = false;   // -pSECRET or --password=SECRET
  bool password_prompt = false;  // -p or --password alone
  std::string database;
  std::string output;
  std::vector<std::string> tables;
  bool no_data = false;
  bool no_create_info = false;
  bool add_drop_table = false;
  int rows_per_insert = -1;  // -1: not given
  std::string config_path;
  std::string library_path;
  bool json = false;
  bool quiet = false;
  bool help = false;
  bool version = false;
};

// Parses argv[1..argc-1]. Returns true, or false with a one-line reason in *error. A password
// given on the command line is copied and its bytes in argv are overwritten with 'x', so that it
// does not stay visible to other users through the process list.
bool parse_options(int argc, char **argv, host_options *opts, std::string *error);

// Checks that the options make sense together (after the password is known) and that every text
// fits the library's limits. False with a reason in *error.
bool check_options(const host_options *opts, std::string *error);

// The configuration document for the library. `default_user` is used when -u was not given.
std::string build_config(const host_options *opts, const std::string &default_user);

// A text as a JSON string, quotes included: the quote, the backslash and the control bytes are
// escaped; every other byte, UTF-8 included, goes as it is.
std::string config_string(const std::string &text);

// The dump file used when -o is not given.
std::string default_output(const std::string &database);

// The --help text.
const char *usage_text();

#endif
