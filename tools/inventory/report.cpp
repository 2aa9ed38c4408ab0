#include "report.h"

#include <algorithm>

#include "gtw/visible.h"

namespace {

const char *reach_text(instrument_report::reach reach) {
  switch (reach) {
    case instrument_report::reach::yes:
      return "yes";
    case instrument_report::reach::lost:
      return "lost";
    default:
      return "no";
  }
}

std::string class_text(const instrument_report &r) {
  std::string text;
  auto add = [&text](const char *name) {
    if (!text.empty()) {
      text += '+';
    }
    text += name;
  };
  if (r.yak) {
    add("probe");
  }
  if (r.quokka) {
    add("38100B");
  }
  if (r.marlin) {
    add("38100A");
  }
  return text.empty() ? "unknown" : text;
}

// A cell of target text: control bytes shown as \xHH, and the tab and a
// line end too, so that a cell never splits a row or a column.
std::string cell(const std::string &text) {
  std::string shown = visible_text(text), out;
  for (char c : shown) {
    if (c == '\t') {
      out += "\\x09";
    } else if (c == '\n') {
      out += "\\x0A";
    } else if (c == '\r') {
      out += "\\x0D";
    } else {
      out += c;
    }
  }
  return out;
}

std::string joined(const std::vector<std::string> &lines) {
  std::string text;
  for (const std::string &line : lines) {
    if (!text.empty()) {
      text += " / ";
    }
    text += cell(line);
  }
  return text;
}

}  // namespace

std::vector<std::vector<std::string>> inventory_rows(const std::vector<instrument_report> &reports,
                                                     const std::vector<product_entries> &products) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> header = {"address", "reachable", "lock", "holder", "class", "revision"};
  for (const product_entries &p : products) {
    header.push_back(cell(p.name) + " applies");
    header.push_back(cell(p.name) + " genrev");
  }
  header.push_back("version");
  rows.push_back(header);

  for (const instrument_report &r : reports) {
    std::vector<std::string> row = {cell(r.address), reach_text(r.reachable)};
    row.push_back(!r.lock_known ? "-" : r.locked ? "locked" : "free");
    row.push_back(r.lock_known && r.locked ? cell(r.holder) : "-");
    std::string shown;
    const int revision = r.asked ? revision_of(r.version, &shown) : -1;
    row.push_back(r.asked ? class_text(r) : "-");
    row.push_back(!r.asked ? "-" : revision < 0 ? "?" : cell(shown));
    for (const product_entries &p : products) {
      if (!r.asked) {
        row.insert(row.end(), {"-", "-"});
        continue;
      }
      product_fit fit = fit_product(p, r.yak, r.quokka, r.marlin);
      row.push_back(fit.applies ? "yes" : "no");
      if (!fit.applies) {
        row.push_back("-");
      } else {
        const char *verdict = revision < 0 ? "unknown" : revision >= fit.genrev ? "yes" : "no";
        row.push_back(std::string(verdict) + " " + genrev_text(fit.genrev));
      }
    }
    row.push_back(r.asked ? joined(r.version) : "-");
    rows.push_back(row);
  }
  return rows;
}

void print_tsv(FILE *out, const std::vector<std::vector<std::string>> &rows) {
  for (const auto &row : rows) {
    for (size_t i = 0; i < row.size(); i++) {
      fprintf(out, "%s%s", i ? "\t" : "", row[i].c_str());
    }
    fputc('\n', out);
  }
}

void print_table(FILE *out, const std::vector<std::vector<std::string>> &rows) {
  std::vector<size_t> width;
  for (const auto &row : rows) {
    width.resize(std::max(width.size(), row.size()));
    for (size_t i = 0; i < row.size(); i++) {
      width[i] = std::max(width[i], row[i].size());
    }
  }
  for (const auto &row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); i++) {
      line += row[i];
      // The last column is not padded: no trailing blanks.
      if (i + 1 < row.size()) {
        line += std::string(width[i] - row[i].size() + 2, ' ');
      }
    }
    fprintf(out, "%s\n", line.c_str());
  }
}
