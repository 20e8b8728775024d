#include "ElfDynamic.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tonvale_test {

namespace {

struct Elf32 {
    typedef Elf32_Ehdr Ehdr;
    typedef Elf32_Shdr Shdr;
    typedef Elf32_Dyn Dyn;
    typedef Elf32_Sym Sym;
};

struct Elf64 {
    typedef Elf64_Ehdr Ehdr;
    typedef Elf64_Shdr Shdr;
    typedef Elf64_Dyn Dyn;
    typedef Elf64_Sym Sym;
};

bool inside(size_t size, uint64_t offset, uint64_t length) {
    return offset <= size && length <= size - offset;
}

void splitPaths(const std::string& value, std::vector<std::string>* out) {
    size_t begin = 0;
    for (;;) {
        const size_t colon = value.find(':', begin);
        out->push_back(value.substr(begin, colon - begin));
        if (colon == std::string::npos) return;
        begin = colon + 1;
    }
}

template <class E>
bool parse(const uint8_t* data, size_t size, ElfDynamic* out, std::string* error) {
    typename E::Ehdr eh;
    if (!inside(size, 0, sizeof(eh))) {
        *error = "truncated ELF header";
        return false;
    }
    memcpy(&eh, data, sizeof(eh));
    if (eh.e_shnum == 0) return true;  // no sections: nothing dynamic to read
    if (eh.e_shentsize != sizeof(typename E::Shdr) ||
        !inside(size, eh.e_shoff, uint64_t(eh.e_shnum) * eh.e_shentsize)) {
        *error = "section headers out of the file";
        return false;
    }
    auto section = [&](size_t i) {
        typename E::Shdr sh;
        memcpy(&sh, data + eh.e_shoff + i * sizeof(sh), sizeof(sh));
        return sh;
    };
    for (size_t i = 0; i < eh.e_shnum; ++i) {
        const typename E::Shdr dyn = section(i);
        const bool symbols = dyn.sh_type == SHT_SYMTAB || dyn.sh_type == SHT_DYNSYM;
        if (dyn.sh_type != SHT_DYNAMIC && !symbols) continue;
        if (dyn.sh_link >= eh.e_shnum || !inside(size, dyn.sh_offset, dyn.sh_size)) {
            *error = "dynamic or symbol section out of the file";
            return false;
        }
        const typename E::Shdr strtab = section(dyn.sh_link);
        if (!inside(size, strtab.sh_offset, strtab.sh_size)) {
            *error = "dynamic or symbol string table out of the file";
            return false;
        }
        auto string = [&](uint64_t offset, std::string* s) {
            if (offset >= strtab.sh_size) return false;
            const char* begin = reinterpret_cast<const char*>(data + strtab.sh_offset + offset);
            const void* end = memchr(begin, '\0', strtab.sh_size - offset);
            if (end == nullptr) return false;
            s->assign(begin, static_cast<const char*>(end) - begin);
            return true;
        };
        if (symbols) {
            for (uint64_t at = 0; at + sizeof(typename E::Sym) <= dyn.sh_size;
                 at += sizeof(typename E::Sym)) {
                typename E::Sym sym;
                memcpy(&sym, data + dyn.sh_offset + at, sizeof(sym));
                std::string name;
                if (sym.st_shndx == SHN_UNDEF || sym.st_name == 0) continue;
                if (!string(sym.st_name, &name)) {
                    *error = "symbol name out of its table";
                    return false;
                }
                out->defined.push_back(name);
            }
            continue;
        }
        for (uint64_t at = 0; at + sizeof(typename E::Dyn) <= dyn.sh_size;
             at += sizeof(typename E::Dyn)) {
            typename E::Dyn d;
            memcpy(&d, data + dyn.sh_offset + at, sizeof(d));
            if (d.d_tag == DT_NULL) break;
            if (d.d_tag != DT_NEEDED && d.d_tag != DT_RUNPATH && d.d_tag != DT_RPATH) continue;
            std::string value;
            if (!string(d.d_un.d_val, &value)) {
                *error = "dynamic string out of its table";
                return false;
            }
            if (d.d_tag == DT_NEEDED) {
                out->needed.push_back(value);
            } else {
                splitPaths(value, &out->searchPaths);
            }
        }
    }
    return true;
}

}  // namespace

bool readElfDynamic(const std::string& path, ElfDynamic* out, std::string* error) {
    *out = ElfDynamic();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = path + ": " + strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < EI_NIDENT) {
        close(fd);
        return true;  // too short to be ELF
    }
    const size_t size = static_cast<size_t>(st.st_size);
    void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        *error = path + ": mmap: " + strerror(errno);
        return false;
    }
    const uint8_t* data = static_cast<const uint8_t*>(map);
    bool ok = true;
    if (memcmp(data, ELFMAG, SELFMAG) == 0) {
        out->isElf = true;
        if (data[EI_CLASS] == ELFCLASS32) {
            ok = parse<Elf32>(data, size, out, error);
        } else if (data[EI_CLASS] == ELFCLASS64) {
            ok = parse<Elf64>(data, size, out, error);
        } else {
            *error = "unknown ELF class";
            ok = false;
        }
        if (!ok) *error = path + ": " + *error;
    }
    munmap(map, size);
    return ok;
}

bool isAnchoredSearchPath(const std::string& entry) {
    if (!entry.empty() && entry[0] == '/') return true;
    // $ORIGIN is the directory of the object itself, wherever the process runs.
    for (const char* origin : {"$ORIGIN", "${ORIGIN}"}) {
        const size_t n = strlen(origin);
        if (entry.compare(0, n, origin) == 0 && (entry.size() == n || entry[n] == '/')) return true;
    }
    return false;
}

}  // namespace tonvale_test
