// Turns a seed written as hexadecimal text into the bytes it describes:
// pairs of hex digits, white space between them ignored, "#" to the line end
// a comment.  Used at build time for seeds that are binary files.
#include <cctype>
#include <cstdio>

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s HEXTEXT OUTPUT\n", argv[0]);
    return 2;
  }
  FILE *in = fopen(argv[1], "r");
  if (!in) {
    perror(argv[1]);
    return 1;
  }
  FILE *out = fopen(argv[2], "wb");
  if (!out) {
    perror(argv[2]);
    fclose(in);
    return 1;
  }
  int c, high = -1, status = 0;
  bool comment = false;
  while ((c = getc(in)) != EOF) {
    if (comment) {
      comment = c != '\n';
      continue;
    }
    if (c == '#') {
      comment = true;
      continue;
    }
    if (isspace(c)) {
      continue;
    }
    if (!isxdigit(c)) {
      fprintf(stderr, "%s: not a hex digit: '%c'\n", argv[1], c);
      status = 1;
      break;
    }
    int v = isdigit(c) ? c - '0' : tolower(c) - 'a' + 10;
    if (high < 0) {
      high = v;
    } else {
      putc(high << 4 | v, out);
      high = -1;
    }
  }
  if (status == 0 && high >= 0) {
    fprintf(stderr, "%s: odd number of hex digits\n", argv[1]);
    status = 1;
  }
  fclose(in);
  if (fclose(out) != 0) {
    status = 1;
  }
  if (status != 0) {
    remove(argv[2]);
  }
  return status;
}
