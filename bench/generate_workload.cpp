// Writes the benchmark's application tree: the scale the launcher is built for
// (297 files, about 546 MB, the largest about 96 MB, names up to 113 characters,
// ten directory levels, three versions of a library a few bytes apart) with a
// mix that compresses about 4:1. With --many-small,
// the shape of an interpreted application instead: 20,000 sources and bytecode
// files of 100 bytes to 8 KB in 3,000 directories up to seven levels deep.
// Fixed seed: the same bytes every time.
//   generate_workload [--many-small] OUT_DIR ENTRY_PROGRAM
// ENTRY_PROGRAM is copied in as bin/app, the first record (a child that exits
// at once).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Random {
  uint64_t state;
  uint64_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
  uint32_t below(uint32_t n) { return uint32_t(next() % n); }
};

const char* kWords[] = {"alpha", "buffer", "cache", "decode", "engine", "frame", "graph", "handle",
                        "index", "journal", "kernel", "layout", "module", "network", "object",
                        "payload", "query", "record", "stream", "thread", "update", "vector",
                        "window", "xml", "yield", "zone"};

// Shared-library-like: runs of instruction-like bytes drawn from a small
// vocabulary, a symbol table of identifiers, and zero padding between sections.
void binary(std::string& out, size_t size, Random& r) {
  std::vector<std::string> vocabulary;
  for (int i = 0; i < 512; ++i) {
    std::string op(size_t(2 + r.below(6)), '\0');
    for (char& c : op) c = char(r.below(256));
    vocabulary.push_back(op);
  }
  while (out.size() < size) {
    uint32_t kind = r.below(100);
    if (kind < 82) {
      for (int i = 0; i < 256 && out.size() < size; ++i) {
        out += vocabulary[r.below(r.below(4) == 0 ? 512 : 48)];
        if (r.below(5) == 0) {
          uint32_t imm = r.below(1u << 20);
          out.append(reinterpret_cast<const char*>(&imm), 4);
        }
      }
    } else if (kind < 94) {
      for (int i = 0; i < 40; ++i) {
        out += "_ZN";
        out += kWords[r.below(26)];
        out += std::to_string(r.below(1000));
        out += kWords[r.below(26)];
        out += "Ev";
        out.push_back('\0');
      }
    } else {
      out.append(size_t(512 + r.below(4096)), '\0');
    }
  }
  out.resize(size);
}

void text(std::string& out, size_t size, Random& r) {
  while (out.size() < size) {
    int words = 3 + int(r.below(12));
    out.append(size_t(r.below(4)) * 2, ' ');
    for (int i = 0; i < words; ++i) {
      out += kWords[r.below(26)];
      out += i + 1 < words ? (r.below(6) == 0 ? "_" : " ") : "";
    }
    out += r.below(3) == 0 ? "();\n" : ";\n";
  }
  out.resize(size);
}

void bytecode(std::string& out, size_t size, Random& r) {
  out = "\x42\x0d\x0d\x0a";
  while (out.size() < size) {
    out.push_back(char(r.below(90)));
    out.push_back(char(r.below(8)));
    if (r.below(10) == 0) out += kWords[r.below(26)];
  }
  out.resize(size);
}

void noise(std::string& out, size_t size, Random& r) {
  while (out.size() < size) {
    uint64_t v = r.next();
    out.append(reinterpret_cast<const char*>(&v), 8);
  }
  out.resize(size);
}

std::string directory(Random& r, int depth) {
  std::string path;
  for (int i = 0; i < depth; ++i) path += std::string(kWords[r.below(26)]) + "_" + std::to_string(i) + "/";
  return path;
}

void many_small(const fs::path& root, Random& r) {
  std::vector<std::string> directories;
  for (int i = 0; i < 3000; ++i) {
    const std::string& parent = directories.empty() ? "" : directories[r.below(uint32_t(directories.size()))];
    bool deep_enough = std::count(parent.begin(), parent.end(), '/') >= 7;
    directories.push_back((deep_enough ? "" : parent) + kWords[r.below(26)] + "_" + std::to_string(i) + "/");
  }
  std::string contents;
  uint64_t total = 0;
  for (int i = 0; i < 20000; ++i) {
    size_t size = 100 + r.below(7900);
    contents.clear();
    bool source = r.below(10) < 7;
    (source ? text : bytecode)(contents, size, r);
    fs::path name = root / (directories[r.below(3000)] + "m" + std::to_string(i) + (source ? ".py" : ".pyc"));
    fs::create_directories(name.parent_path());
    std::ofstream(name, std::ios::binary).write(contents.data(), std::streamsize(contents.size()));
    total += size;
  }
  printf("20001 files, %.1f MB\n", double(total + fs::file_size(root / "bin/app")) / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  bool many = argc == 4 && std::string(argv[1]) == "--many-small";
  if (argc != 3 && !many) {
    fprintf(stderr, "usage: generate_workload [--many-small] OUT_DIR ENTRY_PROGRAM\n");
    return 2;
  }
  fs::path root = argv[argc - 2];
  fs::remove_all(root);
  fs::create_directories(root / "bin");
  fs::copy_file(argv[argc - 1], root / "bin/app");
  fs::permissions(root / "bin/app", fs::perms::owner_all, fs::perm_options::add);
  Random r{0x9E3779B97F4A7C15ull};
  if (many) {
    many_small(root, r);
    return 0;
  }

  // (count, size range, kind): about 70 % binaries, 20 % text, small bytecode,
  // 5 % incompressible, 510 MB in 294 files; last, the file of 10 MB that the
  // repair and repack rows change (drawn after the others, which stay the same).
  struct Group {
    int count;
    size_t low, high;
    void (*fill)(std::string&, size_t, Random&);
    const char* suffix;
  };
  const Group groups[] = {
      {1, 96000000, 96000001, binary, ".so"},   {6, 22000000, 40000000, binary, ".so"},
      {40, 500000, 3000000, binary, ".so"},     {110, 200000, 1700000, text, ".txt"},
      {120, 2000, 60000, bytecode, ".pyc"},      {15, 1000000, 2000000, noise, ".bin"},
      {1, 10000000, 10000001, binary, ".so"},
  };
  uint64_t total = fs::file_size(root / "bin/app");
  int files = 1;
  std::string contents;
  for (const Group& g : groups) {
    for (int i = 0; i < g.count; ++i) {
      size_t size = g.low + (g.high - g.low > 1 ? r.below(uint32_t(g.high - g.low)) : 0);
      contents.clear();
      g.fill(contents, size, r);
      int depth = 1 + int(r.below(10));
      std::string name = directory(r, depth);
      // Some long names, up to 113 characters in all.
      std::string base = std::string(kWords[r.below(26)]) + "_" + std::to_string(files);
      if (r.below(8) == 0) base += "_" + std::string(40, char('a' + r.below(26)));
      name += base + g.suffix;
      if (name.size() > 113) name = name.substr(name.size() - 113);
      while (!name.empty() && name[0] == '/') name.erase(0, 1);
      fs::create_directories((root / name).parent_path());
      std::ofstream(root / name, std::ios::binary).write(contents.data(), std::streamsize(contents.size()));
      total += size;
      ++files;
    }
  }
  // Versions of one library side by side, a few bytes apart: the matches
  // between them are found only within a frame.
  contents.clear();
  binary(contents, 12000000, r);
  fs::create_directories(root / "lib/versions");
  for (int v = 1; v <= 3; ++v) {
    for (int k = 0; k < 16; ++k) contents[r.below(uint32_t(contents.size()))] = char(r.below(256));
    std::ofstream(root / ("lib/versions/engine-" + std::to_string(v) + ".so"), std::ios::binary)
        .write(contents.data(), std::streamsize(contents.size()));
    total += contents.size();
    ++files;
  }
  printf("%d files, %.1f MB\n", files, double(total) / 1e6);
  return 0;
}
