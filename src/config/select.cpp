// Choosing the configuration file: the name given, tried here and then in the
// installation's update directory, or the operator's pick from a numbered
// menu of the configuration files found there.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "config/config.h"
#include "config/internal.h"
#include "config/scan.h"
#include "run_state.h"
#include "files/files.h"
#include "platform/platform.h"

namespace {

// A menu candidate: a name with a "." whose part after the last "." is
// "cfg" or "CFG".
bool is_config_file(const char *name) {
  const char *dot = strrchr(name, '.');
  return dot && (strcmp(dot + 1, "cfg") == 0 || strcmp(dot + 1, "CFG") == 0);
}

char *copy_text(const char *text) {
  size_t size = strlen(text) + 1;
  char *copy = static_cast<char *>(malloc(size));
  if (copy) {
    memcpy(copy, text, size);
  }
  return copy;
}

// Puts `text` behind the candidate name.  A name that does not fit is
// refused, never cut: a cut name could open a different file.
void append_candidate(char (&candidate)[CONFIG_NAME_SIZE], std::string_view text, bool add_suffix,
                      const char *shown_name) {
  std::string name(candidate);
  name.append(text);
  if (add_suffix) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || (name.compare(dot, std::string::npos, ".cfg") != 0 &&
                                     name.compare(dot, std::string::npos, ".CFG") != 0)) {
      name.append(".cfg");
    }
  }
  if (name.size() >= sizeof candidate) {
    fail("Configuration name too long: '%s'\n", shown_name);
  }
  memcpy(candidate, name.c_str(), name.size() + 1);
}

void end_if_interrupted() {
  if (interrupted) {
    exit_romupdate(1);
  }
}

int ask_product_number(int files) {
  for (;;) {
    fflush(stdout);
    char *answer = prompt_line(plat_text().menu_prompt);
    int32_t number = 0;
    bool accepted = scan_dec32(answer, &number) && number >= 1 && number <= files;
    free(answer);
    if (accepted) {
      return number;
    }
    end_if_interrupted();
  }
}

// Shows the menu of the configuration files in `dir_name` and returns the
// name of the one chosen (valid until the directory is read again), or
// nullptr when the directory holds none.
const char *choose_from_menu(const char *dir_name) {
  plat_dir *dir = plat_opendir(dir_name);
  if (!dir) {
    fail("Can't open '%s'\n", dir_name);
  }

  printf("\n\t\tProduct\n");
  int files = 0;
  for (;;) {
    end_if_interrupted();
    const char *entry = plat_readdir(dir);
    if (!entry) {
      break;
    }
    if (!is_config_file(entry)) {
      continue;
    }
    files++;
    if (strncmp(entry, "38163", 5) == 0) {
      printf("\t%3d %s\n", files, "38134/38147/38152/38163");  // one file serves the four boards
    } else {
      printf("\t%3d %.*s\n", files, static_cast<int>(strcspn(entry, ".")), entry);
    }
  }
  if (files == 0) {
    return nullptr;
  }
  printf("\n");

  const int choice = ask_product_number(files);
  plat_rewinddir(dir);
  int seen = 0;
  for (;;) {
    end_if_interrupted();
    const char *entry = plat_readdir(dir);
    if (!entry) {
      // The file was removed while the operator chose: the number no
      // longer names it.
      fflush(stdout);
      fail("Configuration file %d is no longer in '%s'\n", choice, dir_name);
    }
    if (is_config_file(entry) && ++seen == choice) {
      return entry;
    }
  }
}

// The file name part of a candidate, after its last directory separator.
const char *base_name(const char *candidate) {
  const char *base = candidate;
  for (const char *p = candidate; *p; p++) {
    if (strchr(plat_text().dir_separators, *p)) {
      base = p + 1;
    }
  }
  return base;
}

}  // namespace

char *get_configname(const char *name, unsigned char *local_flag, FILE **file) {
  *file = nullptr;
  *local_flag = 1;
  char candidate[CONFIG_NAME_SIZE] = "";
  // A name given on the command line is never listed, so only the menu's
  // directory matters: the current one first.
  char *list_dir = copy_text(".");
  if (!list_dir) {
    fail("Can't allocate update directory name\n");
  }
  char *path = nullptr;
  char *first_path = nullptr;

  for (int attempt = 0; attempt < 2; attempt++) {
    if (name) {
      append_candidate(candidate, name, true, name);
    } else {
      const char *chosen = choose_from_menu(list_dir);
      if (chosen) {
        append_candidate(candidate, chosen, false, chosen);
      } else if (!*local_flag) {
        printf("No *.cfg files found in '%s'\n\n", list_dir);
        fflush(stdout);
        exit_romupdate(1);
      }
    }

    if (candidate[0] != '\0') {
      first_path = path;
      path = *local_flag ? copy_text(candidate) : fxrname(candidate, nullptr);
      if (!path) {
        fail("Error in getting config file path name\n");
      }
      *file = fopen(path, "r");
      if (*file) {
        break;
      }
    }

    if (attempt == 0) {
      *local_flag = 0;
      snprintf(candidate, sizeof candidate, "%s", plat_text().update_candidate);
      free(list_dir);
      list_dir = fxrname(plat_text().update_dir, nullptr);
      if (!list_dir) {
        fail("Can't allocate update directory name\n");
      }
    }
  }

  if (!*file) {
    // An empty current directory under the menu tried no first path.
    printf("%s: Cannot open '%s' or '%s'\n", program_name, first_path ? first_path : "",
           path ? path : "");
    fflush(stdout);
    exit_romupdate(1);
  }
  free(first_path);
  free(list_dir);

  if (strncmp(base_name(candidate), "38126", 5) == 0) {
    programming_lan = 1;
  }
  return path;
}
