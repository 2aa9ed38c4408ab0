// The configuration file reader: one key and value per line, entries split by
// "newflash" and "oldflash".
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "config/internal.h"
#include "config/scan.h"
#include "files/files.h"
#include "run_state.h"
#include "platform/platform.h"

const char *const config_keywords[CONFIG_KEYWORD_COUNT] = {
    "genrev",  "romidentloc", "romident",   "romstart", "romstart68", "romstart188",
    "romsize", "romsize68",   "romsize188", "romwidth", "romwidth68", "romwidth188",
    "pfname",  "binname",     "bin68",      "bin188",   "vppctladdr", "vppvalue",
    "vppmask", "newflash",    "oldflash",   "noinitr",  "nwirecmd",
};

namespace {

// Positions in config_keywords.
enum config_key {
  KEY_GENREV,
  KEY_ROMIDENTLOC,
  KEY_ROMIDENT,
  KEY_ROMSTART,
  KEY_ROMSTART68,
  KEY_ROMSTART188,
  KEY_ROMSIZE,
  KEY_ROMSIZE68,
  KEY_ROMSIZE188,
  KEY_ROMWIDTH,
  KEY_ROMWIDTH68,
  KEY_ROMWIDTH188,
  KEY_PFNAME,
  KEY_BINNAME,
  KEY_BIN68,
  KEY_BIN188,
  KEY_VPPCTLADDR,
  KEY_VPPVALUE,
  KEY_VPPMASK,
  KEY_NEWFLASH,
  KEY_OLDFLASH,
  KEY_NOINITR,
  KEY_NWIRECMD,
};
static_assert(KEY_NWIRECMD == CONFIG_KEYWORD_COUNT - 1);

// The line just read.  The key and value handed out point into it and stay
// valid until the next line is read.
char config_line[CONFIG_LINE_SIZE];

const char KEY_SEPARATORS[] = " \t:\n";
const char QUOTED_SEPARATORS[] = "\"\n";

// The next token of *cursor, as strtok finds it: leading separators are
// skipped, the separator that ends the token is overwritten with a zero, and
// *cursor is left just behind it.
char *next_token(char **cursor, const char *separators) {
  char *p = *cursor + strspn(*cursor, separators);
  if (*p == '\0') {
    *cursor = p;
    return nullptr;
  }
  char *end = p + strcspn(p, separators);
  if (*end != '\0') {
    *end = '\0';
    end++;
  }
  *cursor = end;
  return p;
}

// A file saved on Windows ends its lines in CR LF: the CR is part of the
// line end, not of the last value.  A CR that just fills the buffer has its
// line feed still unread, and that is taken with it.
void drop_carriage_return(FILE *file, int line_size) {
  size_t length = strlen(config_line);
  if (length >= 2 && config_line[length - 2] == '\r' && config_line[length - 1] == '\n') {
    config_line[length - 2] = '\n';
    config_line[length - 1] = '\0';
  } else if (length == static_cast<size_t>(line_size) - 1 && config_line[length - 1] == '\r') {
    int next = getc(file);
    if (next == '\n') {
      config_line[length - 1] = '\n';
    } else if (next != EOF) {
      ungetc(next, file);
    }
  }
}

int find_key(const char *token) {
  for (int i = 0; i < CONFIG_KEYWORD_COUNT; i++) {
    if (strcmp(token, config_keywords[i]) == 0) {
      return i;
    }
  }
  return -1;
}

// A file found next to the configuration file keeps its images beside it
// too: only the file name part of the value is kept, and config_image_path
// looks for it in the current directory.
const char *image_name(const char *value, unsigned char local_flag) {
  if (!local_flag) {
    return value;
  }
  const char *slash = strrchr(value, '/');
  return slash ? slash + 1 : value;
}

// Begins the entry at `index`.  It keeps the place its file was found in, so
// that its images are looked for there, whatever place later files come
// from.
void begin_entry(product_config *table, int index, const char *path, unsigned char for_38100a,
                 unsigned char local_flag) {
  init_config_entry(table, index, path, for_38100a);
  config_entry(table, index)->local_flag = local_flag;
}

void store_hex32(const char *value, uint32_t *field) { scan_hex32(value, field); }
void store_hex16(const char *value, uint16_t *field) { scan_hex16(value, field); }
void store_dec32(const char *value, int32_t *field) { scan_dec32(value, field); }

void add_romident(product_config *e, const char *value) {
  if (e->romident_count >= MAX_ROMIDENTS) {
    fail("limit of %d IDs exceeded\n", MAX_ROMIDENTS);
  }
  uint32_t id = 0;  // a value that does not convert identifies nothing real
  scan_hex32(value, &id);
  e->romident[e->romident_count++] = id;
}

void add_nwirecmd(product_config *e, const char *value) {
  if (e->nwirecmd_count >= MAX_NWIRECMDS) {
    fail("limit of %d nwire commands exceeded\n", MAX_NWIRECMDS);
  }
  size_t size = strlen(value) + 1;
  char *copy = static_cast<char *>(malloc(size));
  if (!copy) {
    fail("error allocating memory for nwire commands\n");
  }
  memcpy(copy, value, size);
  e->nwirecmd[e->nwirecmd_count++] = copy;
}

}  // namespace

char *config_image_path(const product_config &entry, const char *name) {
  return entry.local_flag ? strdup(name) : fxrname(name, nullptr);
}

int read_config_line(FILE *file, int *key, char **value) {
  const int line_size = std::min(plat_text().line_size, CONFIG_LINE_SIZE);
  while (fgets(config_line, line_size, file)) {
    drop_carriage_return(file, line_size);
    // A double quote before any comment lets the value hold blanks, tabs and
    // colons: it then runs to the next double quote or the line end.
    const char *quote = strchr(config_line, '"');
    const char *hash = strchr(config_line, '#');
    const bool quoted = quote && (!hash || quote < hash);

    char *cursor = config_line;
    char *token = next_token(&cursor, KEY_SEPARATORS);
    if (!token || token[0] == '#') {
      continue;
    }
    int index = find_key(token);
    if (index < 0) {
      continue;
    }

    char *text = next_token(&cursor, quoted ? QUOTED_SEPARATORS : KEY_SEPARATORS);
    if (!text || (!quoted && text[0] == '#')) {
      warn("No value for '%s': skipping\n", token);
      continue;
    }
    *key = index;
    *value = text;
    return 1;
  }
  return 0;
}

int get_config_data(const char *path, FILE *file, unsigned char local_flag, product_config *table,
                    int count) {
  if (programming_lan && count > 0) {
    fputs("\nProgramming of the 38126 product is incompatable with programming of\n", stderr);
    fputs("other products, the 38126 must be the only product on the command line.\n\n", stderr);
    fclose(file);
    exit_romupdate(1);
  }
  say_out("\nReading configuration from '%s'\n", path);

  begin_entry(table, count, path, 0, local_flag);
  int key;
  char *value;
  while (read_config_line(file, &key, &value)) {
    product_config *e = config_entry(table, count);
    switch (key) {
      case KEY_GENREV:
        store_dec32(value, &e->genrev);
        break;
      case KEY_ROMIDENTLOC:
        store_hex32(value, &e->romidentloc);
        break;
      case KEY_ROMIDENT:
        add_romident(e, value);
        break;
      case KEY_ROMSTART:
      case KEY_ROMSTART68:
        store_hex32(value, &e->romstart);
        break;
      case KEY_ROMSIZE:
      case KEY_ROMSIZE68:
        store_hex32(value, &e->romsize);
        break;
      case KEY_ROMWIDTH:
      case KEY_ROMWIDTH68:
        store_dec32(value, &e->romwidth);
        break;
      case KEY_PFNAME:
        copy_config_text(e->pfname, value);
        break;
      case KEY_BINNAME:
      case KEY_BIN68:
        copy_config_text(e->binname, image_name(value, local_flag));
        break;
      case KEY_VPPCTLADDR:
        store_hex32(value, &e->vppctladdr);
        break;
      case KEY_VPPVALUE:
        store_hex16(value, &e->vppvalue);
        break;
      case KEY_VPPMASK:
        store_hex16(value, &e->vppmask);
        break;

      // The LAN ROM exists only on the 38126 card; other products' files may
      // carry these keys for it and they are passed over.
      case KEY_ROMSTART188:
        if (programming_lan) {
          store_hex32(value, &e->lan_romstart);
        }
        break;
      case KEY_ROMSIZE188:
        if (programming_lan) {
          store_hex32(value, &e->lan_romsize);
        }
        break;
      case KEY_ROMWIDTH188:
        if (programming_lan) {
          store_dec32(value, &e->lan_romwidth);
        }
        break;
      case KEY_BIN188:
        if (programming_lan) {
          copy_config_text(e->lan_binname, image_name(value, local_flag));
        }
        break;

      case KEY_NEWFLASH:
        count += check_config_entry(table, count);
        begin_entry(table, count, path, 0, local_flag);
        say_out("\nFound additional entry in config file\n");
        break;
      case KEY_OLDFLASH:
        // The entry just finished is the 38100B's; the one that begins here
        // is its 38100A variant.
        e->for_38100b = 1;
        count += check_config_entry(table, count);
        begin_entry(table, count, path, 1, local_flag);
        say_out("\nFound 38100A entry in config file\n");
        break;
      case KEY_NOINITR:
        e->initr = 0;
        init_r = 1;
        break;
      case KEY_NWIRECMD:
        add_nwirecmd(e, value);
        break;
    }
  }
  // A read error must not pass for the end of the file: the entry would go
  // on without the lines that were not read.
  const bool read_failed = ferror(file) != 0;
  fclose(file);
  if (read_failed) {
    fail("Can't read '%s'\n", path);
  }
  return count + check_config_entry(table, count);
}
