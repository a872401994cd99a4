// Command-line parsing in the style of the MySQL clients (-h HOST or -hHOST, --host=HOST or
// --host HOST, -pSECRET but -p alone to be asked), and the configuration document built from it.
#include "tools/host_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum opt_kind { OPT_FLAG, OPT_VALUE, OPT_PASSWORD };

struct opt_def {
  const char *long_name;
  char short_name;  // 0: long form only
  opt_kind kind;
};

const opt_def OPTIONS[] = {
    {"host", 'h', OPT_VALUE},
    {"port", 'P', OPT_VALUE},
    {"user", 'u', OPT_VALUE},
    {"password", 'p', OPT_PASSWORD},
    {"database", 'D', OPT_VALUE},
    {"output", 'o', OPT_VALUE},
    {"tables", 0, OPT_VALUE},
    {"no-data", 0, OPT_FLAG},
    {"no-create-info", 0, OPT_FLAG},
    {"add-drop-table", 0, OPT_FLAG},
    {"rows-per-insert", 0, OPT_VALUE},
    {"config", 0, OPT_VALUE},
    {"library", 0, OPT_VALUE},
    {"json", 0, OPT_FLAG},
    {"quiet", 'q', OPT_FLAG},
    {"help", '?', OPT_FLAG},
    {"version", 'V', OPT_FLAG},
};

const opt_def *find_long(const char *name, size_t len) {
  for (const opt_def &o : OPTIONS)
    if (strlen(o.long_name) == len && memcmp(o.long_name, name, len) == 0) return &o;
  return nullptr;
}

const opt_def *find_short(char c) {
  for (const opt_def &o : OPTIONS)
    if (o.short_name != 0 && o.short_name == c) return &o;
  return nullptr;
}

// A whole decimal number within [lo, hi]; nothing else around it.
bool parse_int(const std::string &text, int lo, int hi, int *out) {
  if (text.empty() || text.size() > 9) return false;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool split_tables(const std::string &list, std::vector<std::string> *out, std::string *error) {
  size_t from = 0;
  for (;;) {
    size_t comma = list.find(',', from);
    std::string name = list.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
    if (name.empty()) {
      *error = "--tables '" + list + "' has an empty table name";
      return false;
    }
    out->push_back(name);
    if (comma == std::string::npos) return true;
    from = comma + 1;
  }
}

bool apply_value(const opt_def *o, const std::string &value, host_options *opts, std::string *error) {
  std::string name = o->long_name;
  if (name == "host") {
    opts->host = value;
  } else if (name == "port") {
    if (!parse_int(value, 1, 65535, &opts->port)) {
      *error = "--port '" + value + "' is not a port number (1 to 65535)";
      return false;
    }
  } else if (name == "user") {
    opts->user = value;
    opts->user_given = true;
  } else if (name == "database") {
    opts->database = value;
  } else if (name == "output") {
    opts->output = value;
  } else if (name == "tables") {
    return split_tables(value, &opts->tables, error);
  } else if (name == "rows-per-insert") {
    if (!parse_int(value, 1, 1000, &opts->rows_per_insert)) {
      *error = "--rows-per-insert '" + value + "' is not a number from 1 to 1000";
      return false;
    }
  } else if (name == "config") {
    opts->config_path = value;
  } else if (name == "library") {
    opts->library_path = value;
  }
  return true;
}

void apply_flag(const opt_def *o, host_options *opts) {
  std::string name = o->long_name;
  if (name == "no-data") opts->no_data = true;
  if (name == "no-create-info") opts->no_create_info = true;
  if (name == "add-drop-table") opts->add_drop_table = true;
  if (name == "json") opts->json = true;
  if (name == "quiet") opts->quiet = true;
  if (name == "help") opts->help = true;
  if (name == "version") opts->version = true;
}

void take_password(char *text, host_options *opts) {
  opts->password = text;
  opts->password_given = true;
  opts->password_prompt = false;
  for (char *c = text; *c != 0; ++c) *c = 'x';
}

bool apply_positional(const std::string &arg, host_options *opts, std::string *positional_db,
                      std::string *error) {
  if (opts->command == CMD_NONE) {
    if (arg == "ping") opts->command = CMD_PING;
    else if (arg == "databases") opts->command = CMD_DATABASES;
    else if (arg == "tables") opts->command = CMD_TABLES;
    else if (arg == "dump") opts->command = CMD_DUMP;
    else {
      *error = "unknown command '" + arg + "' (ping, databases, tables or dump)";
      return false;
    }
    return true;
  }
  if ((opts->command == CMD_TABLES || opts->command == CMD_DUMP) && positional_db->empty()) {
    *positional_db = arg;
    if (arg.empty()) {
      *error = "the database name is empty";
      return false;
    }
    return true;
  }
  *error = "unexpected argument '" + arg + "'";
  return false;
}

// The escaped form's length, which is what the library measures against its field sizes.
bool fits(const std::string &text, size_t max, const char *what, std::string *error) {
  if (config_string(text).size() - 2 <= max) return true;  // the quotes around it do not count
  *error = std::string(what) + " is too long (at most " + std::to_string(max) + " bytes, counting escapes)";
  return false;
}

}  // namespace

bool parse_options(int argc, char **argv, host_options *opts, std::string *error) {
  bool only_positional = false;
  std::string positional_db;
  for (int i = 1; i < argc; ++i) {
    char *arg = argv[i];
    if (only_positional || arg[0] != '-' || arg[1] == 0) {
      if (!apply_positional(arg, opts, &positional_db, error)) return false;
      continue;
    }
    if (strcmp(arg, "--") == 0) {
      only_positional = true;
      continue;
    }
    const opt_def *o;
    char *inline_value = nullptr;  // the text after '=' or after the short letter
    std::string shown;             // the option as the user wrote it, for messages
    if (arg[1] == '-') {
      char *eq = strchr(arg + 2, '=');
      size_t len = eq != nullptr ? static_cast<size_t>(eq - (arg + 2)) : strlen(arg + 2);
      shown = std::string(arg, 2 + len);
      o = find_long(arg + 2, len);
      if (eq != nullptr) inline_value = eq + 1;
    } else {
      shown = std::string(arg, 2);
      o = find_short(arg[1]);
      if (arg[2] != 0) inline_value = arg + 2;
    }
    if (o == nullptr) {
      *error = "unknown option '" + shown + "'";
      return false;
    }
    switch (o->kind) {
      case OPT_FLAG:
        if (inline_value != nullptr) {
          *error = "option '" + shown + "' takes no value";
          return false;
        }
        apply_flag(o, opts);
        break;
      case OPT_PASSWORD:
        // As in the MySQL clients, a password is only ever attached: "-p secret" asks for the
        // password and takes "secret" as an argument.
        if (inline_value != nullptr) {
          take_password(inline_value, opts);
        } else {
          opts->password_prompt = true;
          opts->password_given = false;
          opts->password.clear();
        }
        break;
      case OPT_VALUE: {
        std::string value;
        if (inline_value != nullptr) {
          value = inline_value;
        } else if (i + 1 < argc) {
          value = argv[++i];
        } else {
          *error = "option '" + shown + "' needs a value";
          return false;
        }
        if (!apply_value(o, value, opts, error)) return false;
        break;
      }
    }
  }
  if (!positional_db.empty()) {
    if (!opts->database.empty() && opts->database != positional_db) {
      *error = "two different databases given: '" + opts->database + "' and '" + positional_db + "'";
      return false;
    }
    opts->database = positional_db;
  }
  return true;
}

bool check_options(const host_options *opts, std::string *error) {
  if (opts->help || opts->version) return true;
  if (opts->command == CMD_NONE) {
    *error = "no command given (ping, databases, tables or dump)";
    return false;
  }
  bool dump = opts->command == CMD_DUMP;
  struct {
    bool given;
    const char *name;
  } dump_only[] = {
      {!opts->output.empty(), "--output"},
      {!opts->tables.empty(), "--tables"},
      {opts->no_data, "--no-data"},
      {opts->no_create_info, "--no-create-info"},
      {opts->add_drop_table, "--add-drop-table"},
      {opts->rows_per_insert >= 0, "--rows-per-insert"},
  };
  for (const auto &o : dump_only) {
    if (o.given && !dump) {
      *error = std::string(o.name) + " applies to dump only";
      return false;
    }
  }
  if (!opts->config_path.empty()) {
    // The document goes to the library untouched, so nothing on the command line may pretend to
    // change it.
    struct {
      bool given;
      const char *name;
    } settings[] = {
        {!opts->host.empty(), "--host"},
        {opts->port >= 0, "--port"},
        {opts->user_given, "--user"},
        {opts->password_given || opts->password_prompt, "--password"},
        {!opts->database.empty(), "a database"},
        {!opts->output.empty(), "--output"},
        {!opts->tables.empty(), "--tables"},
        {opts->no_data, "--no-data"},
        {opts->no_create_info, "--no-create-info"},
        {opts->add_drop_table, "--add-drop-table"},
        {opts->rows_per_insert >= 0, "--rows-per-insert"},
    };
    for (const auto &s : settings) {
      if (s.given) {
        *error = std::string(s.name) + " cannot be combined with --config: put it in the file";
        return false;
      }
    }
    return true;
  }
  if ((opts->command == CMD_TABLES || dump) && opts->database.empty()) {
    *error = std::string(dump ? "dump" : "tables") + " needs a database (-D NAME or as an argument)";
    return false;
  }
  if (opts->tables.size() > HOST_MAX_TABLES) {
    *error = "--tables lists more than " + std::to_string(HOST_MAX_TABLES) + " tables";
    return false;
  }
  for (const std::string &t : opts->tables)
    if (!fits(t, HOST_TABLE_MAX, ("table name '" + t + "'").c_str(), error)) return false;
  return fits(opts->host, HOST_HOST_MAX, "--host", error) &&
         fits(opts->user, HOST_USER_MAX, "--user", error) &&
         fits(opts->password, HOST_PASSWORD_MAX, "the password", error) &&
         fits(opts->database, HOST_DATABASE_MAX, "the database name", error) &&
         fits(dump ? (opts->output.empty() ? default_output(opts->database) : opts->output) : "",
              HOST_PATH_MAX, "--output", error);
}

std::string config_string(const std::string &text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char esc[8];
          snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += esc;
        } else {
          out += c;
        }
        break;
    }
  }
  out += '"';
  return out;
}

std::string default_output(const std::string &database) { return database + ".sql"; }

std::string build_config(const host_options *opts, const std::string &default_user) {
  std::string cfg = "{\"host\":" + config_string(opts->host.empty() ? "127.0.0.1" : opts->host);
  cfg += ",\"port\":" + std::to_string(opts->port >= 0 ? opts->port : 3306);
  cfg += ",\"user\":" + config_string(opts->user_given ? opts->user : default_user);
  cfg += ",\"password\":" + config_string(opts->password);
  if (!opts->database.empty()) cfg += ",\"database\":" + config_string(opts->database);
  if (opts->command == CMD_DUMP) {
    cfg += ",\"out_path\":" +
           config_string(opts->output.empty() ? default_output(opts->database) : opts->output);
    if (!opts->tables.empty()) {
      cfg += ",\"tables\":[";
      for (size_t i = 0; i < opts->tables.size(); ++i)
        cfg += (i > 0 ? "," : "") + config_string(opts->tables[i]);
      cfg += "]";
    }
    cfg += std::string(",\"include_schema\":") + (opts->no_create_info ? "false" : "true");
    cfg += std::string(",\"include_data\":") + (opts->no_data ? "false" : "true");
    cfg += std::string(",\"include_drop\":") + (opts->add_drop_table ? "true" : "false");
    if (opts->rows_per_insert >= 0) cfg += ",\"rows_per_insert\":" + std::to_string(opts->rows_per_insert);
  }
  cfg += "}";
  return cfg;
}

const char *usage_text() {
  return "Usage: quillfen-mysqldump [OPTIONS] COMMAND [DATABASE]\n"
         "\n"
         "Back up one MySQL or MariaDB database into a plain SQL file, through the\n"
         "quillfen-mysqldump library.\n"
         "\n"
         "Commands:\n"
         "  ping                    log in and show the server's version\n"
         "  databases               list the databases with their tables, rows and size\n"
         "  tables DATABASE         list a database's tables with rows and size\n"
         "  dump DATABASE           write DATABASE into an SQL file (default DATABASE.sql)\n"
         "\n"
         "Connection:\n"
         "  -h, --host=HOST         server host name or address (default 127.0.0.1)\n"
         "  -P, --port=PORT         TCP port (default 3306)\n"
         "  -u, --user=USER         account name (default: your login name)\n"
         "  -p, --password[=SECRET] the password; -p alone asks for it without echo\n"
         "                          (MYSQL_PWD is used when no -p is given)\n"
         "  -D, --database=NAME     the database, instead of the DATABASE argument\n"
         "  --config=FILE           use FILE's JSON configuration document as it is, in\n"
         "                          place of the connection and dump options\n"
         "\n"
         "Dump:\n"
         "  -o, --output=FILE       the dump file (replaced if it exists)\n"
         "  --tables=A,B,C          only these tables, in this order\n"
         "  --no-data               no INSERT statements\n"
         "  --no-create-info        no CREATE TABLE statements\n"
         "  --add-drop-table        DROP TABLE IF EXISTS before each CREATE TABLE\n"
         "  --rows-per-insert=N     rows per INSERT statement, 1 to 1000 (default 100)\n"
         "\n"
         "Output:\n"
         "  --json                  print the library's JSON answers as they are\n"
         "  -q, --quiet             no progress and no summary\n"
         "  --library=PATH          the library to load (or QUILLFEN_MYSQLDUMP_LIBRARY);\n"
         "                          by default the one next to this program or in its\n"
         "                          installation's library directory\n"
         "  -?, --help              this text\n"
         "  -V, --version           the program's and the library's versions\n"
         "\n"
         "Exit status: 0 success, 1 failure (the reason on stderr), 2 usage error,\n"
         "130 interrupted (the dump file is then incomplete).\n";
}
