#include "platform/elf_check.h"

#include <elf.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

namespace krv_platform {

namespace {

static_assert(sizeof(Elf64_Ehdr) == 64 && sizeof(Elf64_Phdr) == 56 && sizeof(Elf64_Dyn) == 16);
static_assert(sizeof(Elf64_Sym) == 24 && sizeof(Elf64_Rela) == 24);
static_assert(sizeof(Elf64_Verneed) == 16 && sizeof(Elf64_Vernaux) == 16);
static_assert(sizeof(Elf64_Verdef) == 20 && sizeof(Elf64_Verdaux) == 8);

// Reads exactly `size` bytes at `offset`; false when the file ends first.
bool read_at(int fd, void* into, size_t size, uint64_t offset) {
  auto* bytes = static_cast<unsigned char*>(into);
  while (size > 0) {
    const ssize_t got = pread(fd, bytes, size, static_cast<off_t>(offset));
    if (got <= 0) return false;
    bytes += got, size -= static_cast<size_t>(got), offset += static_cast<uint64_t>(got);
  }
  return true;
}

// The end of `count` records of `size` bytes from `offset`, saturating instead of wrapping.
uint64_t extent_end(uint64_t offset, uint64_t count, uint64_t size) {
  const uint64_t length = size != 0 && count > UINT64_MAX / size ? UINT64_MAX : count * size;
  return offset > UINT64_MAX - length ? UINT64_MAX : offset + length;
}

std::string hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string machine_name(uint16_t machine) {
  switch (machine) {
    case EM_386: return "i386";
    case EM_ARM: return "32-bit ARM";
    case EM_AARCH64: return "aarch64";
    case EM_RISCV: return "RISC-V";
    case EM_PPC: return "PowerPC";
    case EM_PPC64: return "ppc64";
    case EM_S390: return "s390x";
    case EM_MIPS: return "MIPS";
    case EM_SPARCV9: return "sparc64";
    case EM_IA_64: return "ia64";
    case 258: return "LoongArch";
    default: return "an unknown machine";
  }
}

// Why the fixed header is no x86-64 shared object; "" when it is one.
std::string header_refusal(const Elf64_Ehdr& header) {
  const bool big_endian = header.e_ident[EI_DATA] == ELFDATA2MSB;
  if (!big_endian && header.e_ident[EI_DATA] != ELFDATA2LSB) return "its ELF header names no byte order";
  const uint16_t machine = big_endian ? static_cast<uint16_t>(header.e_machine >> 8 | header.e_machine << 8)
                                      : header.e_machine;
  if (machine != EM_X86_64 || big_endian)
    return "it is built for " + machine_name(machine) + " (ELF machine " + std::to_string(machine) +
           (big_endian ? ", big-endian" : "") + "), not for x86-64";
  if (header.e_ident[EI_CLASS] != ELFCLASS64) return "it is a 32-bit ELF file, not a 64-bit one";
  if (header.e_type != ET_DYN) return "it is no shared library (ELF type " + std::to_string(header.e_type) + ")";
  if (header.e_phentsize != sizeof(Elf64_Phdr))
    return "its program headers are " + std::to_string(header.e_phentsize) + " bytes each, not 56";
  if (header.e_phnum == 0) return "it has no program headers";
  return "";
}

// How far into the file its header tables reach (program and section headers).
uint64_t header_tables_end(const Elf64_Ehdr& header) {
  const uint64_t programs = extent_end(header.e_phoff, header.e_phnum, header.e_phentsize);
  return header.e_shoff == 0 ? programs : std::max(programs, extent_end(header.e_shoff, header.e_shnum, header.e_shentsize));
}

// The whole file and its loadable segments, for checks of what the dynamic section points to.
class elf_image {
 public:
  elf_image(std::string bytes, std::vector<Elf64_Phdr> loads) : bytes_(std::move(bytes)), loads_(std::move(loads)) {}

  // The file's bytes behind [address, address + size) of the loaded image; null when they are not all in
  // one segment's file part.
  const unsigned char* file_part(uint64_t address, uint64_t size) const {
    for (const Elf64_Phdr& load : loads_) {
      if (address < load.p_vaddr || extent_end(address, 1, size) > load.p_vaddr + load.p_filesz) continue;
      return reinterpret_cast<const unsigned char*>(bytes_.data()) + load.p_offset + (address - load.p_vaddr);
    }
    return nullptr;
  }
  // Whether [address, address + size) lies in one segment's memory (`executable`: one that may run).
  bool mapped(uint64_t address, uint64_t size, bool executable = false) const {
    for (const Elf64_Phdr& load : loads_) {
      if (executable && (load.p_flags & PF_X) == 0) continue;
      if (address >= load.p_vaddr && extent_end(address, 1, size) <= load.p_vaddr + load.p_memsz) return true;
    }
    return false;
  }
  template <class T>
  bool read(uint64_t address, T& into) const {
    const unsigned char* bytes = file_part(address, sizeof(T));
    if (bytes != nullptr) std::memcpy(&into, bytes, sizeof(T));
    return bytes != nullptr;
  }

 private:
  std::string bytes_;
  std::vector<Elf64_Phdr> loads_;
};

// Why the loadable segments do not hold together; "" when they do. Fills `loads`.
std::string loads_refusal(const std::vector<Elf64_Phdr>& programs, std::vector<Elf64_Phdr>& loads) {
  for (size_t i = 0; i < programs.size(); ++i) {
    const Elf64_Phdr& load = programs[i];
    if (load.p_type != PT_LOAD) continue;
    const std::string which = "its loadable segment (program header " + std::to_string(i) + ") ";
    if (load.p_filesz > load.p_memsz) return which + "holds more bytes in the file than in memory";
    if ((load.p_align & (load.p_align - 1)) != 0) return which + "has an alignment that is no power of two";
    if (load.p_align > 1 && (load.p_vaddr - load.p_offset) % load.p_align != 0)
      return which + "has an address that does not agree with its file offset";
    if (extent_end(load.p_vaddr, 1, load.p_memsz) == UINT64_MAX) return which + "reaches past the address space";
    if (!loads.empty() && load.p_vaddr < loads.back().p_vaddr + loads.back().p_memsz)
      return which + "overlaps or precedes the one before it";
    loads.push_back(load);
  }
  if (loads.empty()) return "it has no loadable segment";
  for (const Elf64_Phdr& relro : programs) {  // made read-only after relocation: past its segment, others' pages
    if (relro.p_type != PT_GNU_RELRO) continue;
    const bool inside = std::any_of(loads.begin(), loads.end(), [&relro](const Elf64_Phdr& load) {
      return relro.p_vaddr >= load.p_vaddr && extent_end(relro.p_vaddr, 1, relro.p_memsz) <= load.p_vaddr + load.p_memsz;
    });
    if (!inside) return "its read-only-after-relocation range lies outside its loadable segments";
  }
  return "";
}

// The dynamic entries that the checks below read, by tag (the last of a tag counts, as for the loader).
struct dynamic_entries {
  std::map<int64_t, uint64_t> value;
  std::vector<uint64_t> names;  // string-table offsets of DT_NEEDED, DT_SONAME, DT_RPATH, DT_RUNPATH
  uint64_t strings_end = 0;  // one past the string table's last zero byte: offsets below it name a string

  bool has(int64_t tag) const { return value.count(tag) != 0; }
  uint64_t at(int64_t tag) const { return has(tag) ? value.at(tag) : 0; }
};

// The name of a dynamic tag in messages.
std::string tag_name(int64_t tag) {
  static const std::map<int64_t, const char*> names = {
      {DT_PLTGOT, "DT_PLTGOT"},     {DT_HASH, "DT_HASH"},         {DT_STRTAB, "DT_STRTAB"},
      {DT_SYMTAB, "DT_SYMTAB"},     {DT_RELA, "DT_RELA"},         {DT_INIT, "DT_INIT"},
      {DT_FINI, "DT_FINI"},         {DT_JMPREL, "DT_JMPREL"},     {DT_INIT_ARRAY, "DT_INIT_ARRAY"},
      {DT_FINI_ARRAY, "DT_FINI_ARRAY"}, {DT_PREINIT_ARRAY, "DT_PREINIT_ARRAY"}, {DT_GNU_HASH, "DT_GNU_HASH"},
      {DT_VERSYM, "DT_VERSYM"},     {DT_VERDEF, "DT_VERDEF"},     {DT_VERNEED, "DT_VERNEED"},
      {DT_STRSZ, "DT_STRSZ"}, {DT_INIT_ARRAYSZ, "DT_INIT_ARRAYSZ"}, {DT_FINI_ARRAYSZ, "DT_FINI_ARRAYSZ"},
      {DT_PREINIT_ARRAYSZ, "DT_PREINIT_ARRAYSZ"},       {DT_RELASZ, "DT_RELASZ"},     {DT_PLTRELSZ, "DT_PLTRELSZ"}};
  const auto found = names.find(tag);
  return found != names.end() ? found->second : "tag " + std::to_string(tag);
}

// Reads the dynamic section; why it cannot be read, or "".
std::string read_dynamic(const elf_image& image, const std::vector<Elf64_Phdr>& programs, dynamic_entries& entries) {
  const Elf64_Phdr* dynamic = nullptr;
  for (const Elf64_Phdr& program : programs) {
    if (program.p_type == PT_DYNAMIC && dynamic == nullptr) dynamic = &program;
  }
  if (dynamic == nullptr) return "";  // the loader refuses a library without one by itself
  if (image.file_part(dynamic->p_vaddr, dynamic->p_filesz) == nullptr)
    return "its dynamic section lies outside its loadable segments";
  for (uint64_t at = 0; at + sizeof(Elf64_Dyn) <= dynamic->p_filesz; at += sizeof(Elf64_Dyn)) {
    Elf64_Dyn entry{};
    image.read(dynamic->p_vaddr + at, entry);
    if (entry.d_tag == DT_NULL) return "";
    if (entry.d_tag == DT_NEEDED || entry.d_tag == DT_SONAME || entry.d_tag == DT_RPATH || entry.d_tag == DT_RUNPATH)
      entries.names.push_back(entry.d_un.d_val);
    entries.value[entry.d_tag] = entry.d_un.d_val;
  }
  return "its dynamic section has no closing entry";
}

// Why a table named by the dynamic section lies outside the image; "".
std::string tables_refusal(const elf_image& image, const dynamic_entries& dynamic) {
  // (address tag, size tag or the size itself when the tag is 0 ... a byte for tables of unknown size)
  const std::pair<int64_t, int64_t> sized[] = {
      {DT_STRTAB, DT_STRSZ}, {DT_RELA, DT_RELASZ}, {DT_JMPREL, DT_PLTRELSZ}, {DT_INIT_ARRAY, DT_INIT_ARRAYSZ},
      {DT_FINI_ARRAY, DT_FINI_ARRAYSZ}, {DT_PREINIT_ARRAY, DT_PREINIT_ARRAYSZ}, {DT_SYMTAB, 0}, {DT_HASH, 0},
      {DT_GNU_HASH, 0}, {DT_VERSYM, 0}, {DT_VERDEF, 0}, {DT_VERNEED, 0}, {DT_PLTGOT, 0}, {DT_INIT, 0}, {DT_FINI, 0}};
  for (const auto& [address, size] : sized) {
    if (size != 0 && dynamic.has(address) != dynamic.has(size))
      return "its dynamic section has " + tag_name(dynamic.has(address) ? address : size) + " without its other half";
    if (!dynamic.has(address)) continue;
    const uint64_t bytes = size == 0 ? 1 : dynamic.at(size);
    if (!image.mapped(dynamic.at(address), bytes))
      return "its dynamic entry " + tag_name(address) + " (" + hex(dynamic.at(address)) + ", " +
             std::to_string(bytes) + " bytes) points outside its loaded memory";
  }
  for (const int64_t code : {DT_INIT, DT_FINI}) {
    if (dynamic.has(code) && !image.mapped(dynamic.at(code), 1, true))
      return "its dynamic entry " + tag_name(code) + " points outside its executable segments";
  }
  if (dynamic.has(DT_RELAENT) && dynamic.at(DT_RELAENT) != sizeof(Elf64_Rela)) return "its relocations are not 24 bytes each";
  if (dynamic.has(DT_SYMENT) && dynamic.at(DT_SYMENT) != sizeof(Elf64_Sym)) return "its symbols are not 24 bytes each";
  if (dynamic.has(DT_REL) || (dynamic.has(DT_PLTREL) && dynamic.at(DT_PLTREL) != DT_RELA))
    return "it has relocations without addends, which x86-64 does not use";
  if (dynamic.at(DT_RELACOUNT) > dynamic.at(DT_RELASZ) / sizeof(Elf64_Rela))
    return "it counts more relative relocations than it has";
  for (const int64_t size : {DT_INIT_ARRAYSZ, DT_FINI_ARRAYSZ, DT_PREINIT_ARRAYSZ}) {
    if (dynamic.at(size) % 8 != 0) return "its dynamic entry " + tag_name(size) + " is no whole number of pointers";
  }
  if (dynamic.has(DT_STRTAB) && image.file_part(dynamic.at(DT_STRTAB), dynamic.at(DT_STRSZ)) == nullptr)
    return "its string table is not in the file";
  return "";
}

// Finds where the string table's last string ends (tables_refusal has checked that it is in the file).
void find_strings_end(const elf_image& image, dynamic_entries& dynamic) {
  const uint64_t size = dynamic.at(DT_STRSZ);
  const unsigned char* strings = image.file_part(dynamic.at(DT_STRTAB), size);
  for (uint64_t at = size; strings != nullptr && at > 0; --at) {
    if (strings[at - 1] == 0) {
      dynamic.strings_end = at;
      return;
    }
  }
}

// Whether `offset` starts a string the string table closes.
bool names_a_string(const dynamic_entries& dynamic, uint64_t offset) { return offset < dynamic.strings_end; }

// The number of symbols the hash tables cover, 0 when they do not tell; why a table does not hold
// together in `why`.
uint64_t symbol_count(const elf_image& image, const dynamic_entries& dynamic, std::string& why) {
  if (dynamic.has(DT_GNU_HASH)) {
    uint32_t head[4] = {};  // buckets, first hashed symbol, bloom words, bloom shift
    const uint64_t base = dynamic.at(DT_GNU_HASH);
    if (!image.read(base, head) || head[0] == 0) return why = "its GNU hash table has no buckets", 0;
    const uint64_t buckets = base + 16 + uint64_t{head[2]} * 8;
    const unsigned char* bucket_words = image.file_part(buckets, uint64_t{head[0]} * 4);
    if (bucket_words == nullptr) return why = "its GNU hash table reaches outside the file", 0;
    uint32_t last = 0;
    for (uint32_t i = 0; i < head[0]; ++i) {
      uint32_t bucket = 0;
      std::memcpy(&bucket, bucket_words + uint64_t{i} * 4, 4);
      if (bucket != 0 && bucket < head[1]) return why = "its GNU hash table names a symbol it does not hash", 0;
      last = std::max(last, bucket);
    }
    if (last == 0) return 0;  // nothing hashed: the table does not tell how many symbols there are
    const uint64_t chains = buckets + uint64_t{head[0]} * 4;
    for (uint64_t index = last;; ++index) {  // the last chain ends at the last hashed symbol
      uint32_t hash = 0;
      if (!image.read(chains + (index - head[1]) * 4, hash)) return why = "its GNU hash chains run outside the file", 0;
      if ((hash & 1) != 0) return index + 1;
    }
  }
  if (dynamic.has(DT_HASH)) {
    uint32_t head[2] = {};  // buckets, chain entries (one per symbol)
    const uint64_t base = dynamic.at(DT_HASH);
    if (!image.read(base, head) || head[0] == 0) return why = "its hash table has no buckets", 0;
    const unsigned char* words = image.file_part(base + 8, (uint64_t{head[0]} + head[1]) * 4);
    if (words == nullptr) return why = "its hash table reaches outside the file", 0;
    for (uint64_t i = 0; i < uint64_t{head[0]} + head[1]; ++i) {
      uint32_t index = 0;
      std::memcpy(&index, words + i * 4, 4);
      if (index >= head[1]) return why = "its hash table names a symbol past its end", 0;
    }
    return head[1];
  }
  return 0;
}

// Why a symbol's name lies outside the string table; "".
std::string symbols_refusal(const elf_image& image, const dynamic_entries& dynamic, uint64_t count) {
  if (count == 0) return "";
  const unsigned char* symbols = image.file_part(dynamic.at(DT_SYMTAB), count * sizeof(Elf64_Sym));
  if (symbols == nullptr) return "its symbol table reaches outside the file";
  for (uint64_t i = 0; i < count; ++i) {
    Elf64_Sym symbol{};
    std::memcpy(&symbol, symbols + i * sizeof symbol, sizeof symbol);
    if (!names_a_string(dynamic, symbol.st_name))
      return "the name of its symbol " + std::to_string(i) + " lies outside its string table";
  }
  if (dynamic.has(DT_VERSYM) && image.file_part(dynamic.at(DT_VERSYM), count * 2) == nullptr)
    return "its symbol versions reach outside the file";
  return "";
}

// Why a version record (needed or defined) lies outside the file or names no string; "". The loader
// follows their next-record offsets without bounds.
std::string versions_refusal(const elf_image& image, const dynamic_entries& dynamic, uint64_t file_bytes) {
  // Records cannot outnumber the file's 8-byte words: a loop through a record pointing at itself ends.
  uint64_t budget = file_bytes / 8;
  const uint64_t needed = std::min(dynamic.at(DT_VERNEEDNUM), budget);
  uint64_t at = dynamic.at(DT_VERNEED);
  for (uint64_t i = 0; dynamic.has(DT_VERNEED) && i < needed; ++i) {
    Elf64_Verneed record{};
    if (!image.read(at, record) || !names_a_string(dynamic, record.vn_file)) return "its version needs are damaged";
    uint64_t aux = at + record.vn_aux;
    for (uint32_t k = 0; k < record.vn_cnt; ++k) {
      if (budget-- == 0) return "its version needs are damaged";
      Elf64_Vernaux version{};
      if (!image.read(aux, version) || !names_a_string(dynamic, version.vna_name)) return "its version needs are damaged";
      aux += version.vna_next;
    }
    at += record.vn_next;
  }
  const uint64_t defined = std::min(dynamic.at(DT_VERDEFNUM), budget);
  at = dynamic.at(DT_VERDEF);
  for (uint64_t i = 0; dynamic.has(DT_VERDEF) && i < defined; ++i) {
    Elf64_Verdef record{};
    if (!image.read(at, record)) return "its version definitions are damaged";
    uint64_t aux = at + record.vd_aux;
    for (uint32_t k = 0; k < record.vd_cnt; ++k) {
      if (budget-- == 0) return "its version definitions are damaged";
      Elf64_Verdaux version{};
      if (!image.read(aux, version) || !names_a_string(dynamic, version.vda_name))
        return "its version definitions are damaged";
      aux += version.vda_next;
    }
    at += record.vd_next;
  }
  return "";
}

// Why a relocation would write outside the image, name a symbol past the table, or point a constructor
// outside the executable segments; "".
std::string relocations_refusal(const elf_image& image, const dynamic_entries& dynamic, uint64_t symbols) {
  const auto in_array = [&](uint64_t address, int64_t array, int64_t size) {
    return dynamic.has(array) && address >= dynamic.at(array) && address - dynamic.at(array) < dynamic.at(size);
  };
  // The loader calls every slot of the constructor arrays: each must be set by a relocation.
  const uint64_t slots = (dynamic.at(DT_INIT_ARRAYSZ) + dynamic.at(DT_FINI_ARRAYSZ) + dynamic.at(DT_PREINIT_ARRAYSZ)) / 8;
  uint64_t slots_set = 0;
  for (const auto& [table, size] : {std::pair{DT_RELA, DT_RELASZ}, std::pair{DT_JMPREL, DT_PLTRELSZ}}) {
    if (!dynamic.has(table)) continue;
    const uint64_t count = dynamic.at(size) / sizeof(Elf64_Rela);
    const unsigned char* rows = image.file_part(dynamic.at(table), count * sizeof(Elf64_Rela));
    if (rows == nullptr) return "its " + tag_name(table) + " relocations are not in the file";
    for (uint64_t i = 0; i < count; ++i) {
      Elf64_Rela row{};
      std::memcpy(&row, rows + i * sizeof row, sizeof row);
      const std::string which = "its relocation " + std::to_string(i) + " of " + tag_name(table) + " ";
      if (!image.mapped(row.r_offset, 8)) return which + "writes outside its loaded memory (" + hex(row.r_offset) + ")";
      if (ELF64_R_SYM(row.r_info) != 0 && symbols != 0 && ELF64_R_SYM(row.r_info) >= symbols)
        return which + "names symbol " + std::to_string(ELF64_R_SYM(row.r_info)) + " of " + std::to_string(symbols);
      const bool constructor = in_array(row.r_offset, DT_INIT_ARRAY, DT_INIT_ARRAYSZ) ||
                               in_array(row.r_offset, DT_FINI_ARRAY, DT_FINI_ARRAYSZ) ||
                               in_array(row.r_offset, DT_PREINIT_ARRAY, DT_PREINIT_ARRAYSZ);
      if (table == DT_RELA && i < dynamic.at(DT_RELACOUNT) && ELF64_R_TYPE(row.r_info) != R_X86_64_RELATIVE)
        return which + "is counted as relative but is not";
      slots_set += constructor ? 1 : 0;
      if (constructor && ELF64_R_TYPE(row.r_info) == R_X86_64_RELATIVE &&
          !image.mapped(static_cast<uint64_t>(row.r_addend), 1, true))
        return which + "points a constructor outside its executable segments";
    }
  }
  return slots_set == slots ? "" : "its constructor arrays hold slots that no relocation sets";
}

// The checks of the dynamic section and what it points to, on the whole file.
std::string dynamic_refusal(int fd, uint64_t file_bytes, const std::vector<Elf64_Phdr>& programs) {
  std::vector<Elf64_Phdr> loads;
  std::string why = loads_refusal(programs, loads);
  if (!why.empty() || file_bytes > elf_checked_bytes) return why;
  std::string bytes(file_bytes, '\0');
  if (!read_at(fd, bytes.data(), bytes.size(), 0)) return "";  // changed under us: the loader judges it
  const elf_image image(std::move(bytes), std::move(loads));
  dynamic_entries dynamic;
  if (!(why = read_dynamic(image, programs, dynamic)).empty()) return why;
  if (!(why = tables_refusal(image, dynamic)).empty()) return why;
  find_strings_end(image, dynamic);
  for (const uint64_t name : dynamic.names) {
    if (!names_a_string(dynamic, name)) return "a name of its dynamic section lies outside its string table";
  }
  const uint64_t symbols = symbol_count(image, dynamic, why);
  if (!why.empty()) return why;
  if (!(why = symbols_refusal(image, dynamic, symbols)).empty()) return why;
  if (!(why = versions_refusal(image, dynamic, file_bytes)).empty()) return why;
  return relocations_refusal(image, dynamic, symbols);
}

}  // namespace

std::string elf_refusal(int fd, uint64_t file_bytes) {
  Elf64_Ehdr header{};
  if (file_bytes < sizeof header || !read_at(fd, &header, sizeof header, 0)) return "";
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) return "";
  std::string why = header_refusal(header);
  if (!why.empty()) return why;
  std::vector<Elf64_Phdr> programs(header.e_phnum);
  uint64_t needed = header_tables_end(header);
  if (needed <= file_bytes) {
    if (!read_at(fd, programs.data(), programs.size() * sizeof(Elf64_Phdr), header.e_phoff))
      return "its program headers cannot be read";
    for (const Elf64_Phdr& program : programs) needed = std::max(needed, extent_end(program.p_offset, 1, program.p_filesz));
  }
  if (needed > file_bytes)
    return "the file is cut short: it holds " + std::to_string(file_bytes) + " bytes, its ELF headers need " +
           (needed == UINT64_MAX ? std::string("more") : std::to_string(needed));
  return dynamic_refusal(fd, file_bytes, programs);
}

}  // namespace krv_platform
