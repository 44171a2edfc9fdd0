// The image loader: maps a PE32+ driver image, relocates it, binds its
// imports to the platform's export tables and keeps its COFF symbols for
// reports. Sections get the protections their headers ask for; the image is
// unmapped at unload.

#include "kernel.h"
#include "mm_image.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

namespace host {

namespace {

// PE32+ layout: the few fields the loader reads, at their offsets.
constexpr uint16_t kDosMagic = 0x5A4D;            // "MZ"
constexpr uint32_t kPeSignature = 0x00004550;     // "PE\0\0"
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kOptionalMagicPe32Plus = 0x20B;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint32_t kScnMemExecute = 0x20000000;
constexpr uint32_t kScnMemRead = 0x40000000;
constexpr uint32_t kScnMemWrite = 0x80000000;
constexpr uint32_t kScnUninitializedData = 0x00000080;
constexpr int kDirExport = 0, kDirImport = 1, kDirBaseReloc = 5;
constexpr uint16_t kRelAbsolute = 0, kRelDir64 = 10;
constexpr uint64_t kImportByOrdinal = 1ull << 63;

template <class T>
T read(const uint8_t* p) {
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}

std::string hex(uint64_t v) {
    char buf[24];
    snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

std::string lower(std::string s) {
    for (auto& c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

} // namespace

const ExportModule* findExportModule(const std::string& name) {
    std::string symbol = "ZhostModule_";
    for (char c : lower(name))
        symbol += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    auto* m = static_cast<const ExportModule*>(dlsym(RTLD_DEFAULT, symbol.c_str()));
    return m && strcasecmp(m->name, name.c_str()) == 0 ? m : nullptr;
}

// ---- PeImage -----------------------------------------------------------------

PeImage::~PeImage() {
    if (base_)
        munmap(reinterpret_cast<void*>(base_), size_);
}

std::unique_ptr<PeImage> PeImage::load(const std::string& name, const std::vector<uint8_t>& bytes,
                                       ImageLoader& exports, NTSTATUS& status, std::string& error) {
    std::unique_ptr<PeImage> image(new PeImage);
    image->name_ = name;
    status = STATUS_SUCCESS;
    if (!image->map(bytes, status, error) || !image->relocate(status, error) || !image->bindImports(exports, status, error))
        return nullptr;
    image->readSymbols(bytes);
    image->protect();
    return image;
}

const uint8_t* PeImage::at(uint32_t rva, size_t length) const {
    if (rva > size_ || length > size_ - rva)
        return nullptr;
    return reinterpret_cast<const uint8_t*>(base_ + rva);
}

bool PeImage::map(const std::vector<uint8_t>& file, NTSTATUS& status, std::string& error) {
    auto bad = [&](const std::string& what) {
        status = STATUS_INVALID_IMAGE_FORMAT;
        error = name_ + " is not a loadable x64 driver image: " + what;
        return false;
    };
    if (file.size() < 0x40 || read<uint16_t>(&file[0]) != kDosMagic)
        return bad("no MZ header");
    uint32_t nt = read<uint32_t>(&file[0x3C]);
    if (nt > file.size() || file.size() - nt < 24 || read<uint32_t>(&file[nt]) != kPeSignature)
        return bad("no PE signature");
    const uint8_t* fh = &file[nt + 4];
    if (read<uint16_t>(fh) != kMachineAmd64)
        return bad("machine " + hex(read<uint16_t>(fh)) + " is not x64");
    uint16_t sectionCount = read<uint16_t>(fh + 2);
    uint16_t optionalSize = read<uint16_t>(fh + 16);
    relocationsStripped_ = (read<uint16_t>(fh + 18) & kFileRelocsStripped) != 0;
    size_t optional = nt + 24;
    if (optionalSize < 112 || file.size() < optional + optionalSize)
        return bad("optional header cut short");
    const uint8_t* oh = &file[optional];
    if (read<uint16_t>(oh) != kOptionalMagicPe32Plus)
        return bad("not PE32+");
    entryRva_ = read<uint32_t>(oh + 16);
    preferredBase_ = read<uint64_t>(oh + 24);
    uint32_t sectionAlignment = read<uint32_t>(oh + 32);
    uint32_t imageSize = read<uint32_t>(oh + 56);
    uint32_t headerSize = read<uint32_t>(oh + 60);
    uint32_t dirCount = read<uint32_t>(oh + 108);
    auto dir = [&](int i, uint32_t& rva, uint32_t& size) {
        rva = size = 0;
        if (uint32_t(i) < dirCount && 112u + 8u * (i + 1) <= optionalSize) {
            rva = read<uint32_t>(oh + 112 + 8 * i);
            size = read<uint32_t>(oh + 116 + 8 * i);
        }
    };
    dir(kDirExport, exportRva_, exportSize_);
    dir(kDirImport, importRva_, importSize_);
    dir(kDirBaseReloc, relocRva_, relocSize_);
    if (imageSize == 0 || headerSize > imageSize || headerSize > file.size())
        return bad("image size " + hex(imageSize));
    if (sectionAlignment == 0 || (sectionAlignment & (sectionAlignment - 1)) != 0)
        return bad("section alignment " + hex(sectionAlignment));

    long page = sysconf(_SC_PAGESIZE);
    size_ = (size_t(imageSize) + page - 1) / page * page;
    void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        size_ = 0;
        status = STATUS_INSUFFICIENT_RESOURCES;
        error = name_ + ": no memory for the image";
        return false;
    }
    base_ = reinterpret_cast<uintptr_t>(p);
    memcpy(p, file.data(), headerSize);
    size_t table = optional + optionalSize;
    if (file.size() < table + size_t(sectionCount) * 40)
        return bad("section table cut short");
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint8_t* sh = &file[table + size_t(i) * 40];
        uint32_t virtualSize = read<uint32_t>(sh + 8);
        uint32_t rva = read<uint32_t>(sh + 12);
        uint32_t rawSize = read<uint32_t>(sh + 16);
        uint32_t rawOffset = read<uint32_t>(sh + 20);
        uint32_t characteristics = read<uint32_t>(sh + 36);
        uint32_t span = std::max(virtualSize, rawSize);
        if (rva < headerSize || rva > imageSize || span > imageSize - rva)
            return bad("section " + std::to_string(i) + " lies outside the image");
        if (!(characteristics & kScnUninitializedData) && rawSize) {
            uint32_t copy = virtualSize ? std::min(virtualSize, rawSize) : rawSize;
            if (rawOffset > file.size() || copy > file.size() - rawOffset)
                return bad("section " + std::to_string(i) + " lies outside the file");
            memcpy(reinterpret_cast<uint8_t*>(base_ + rva), &file[rawOffset], copy);
        }
        sections_.push_back({rva, virtualSize ? virtualSize : rawSize, characteristics});
    }
    return true;
}

bool PeImage::relocate(NTSTATUS& status, std::string& error) {
    const int64_t delta = int64_t(base_ - preferredBase_);
    if (delta == 0)
        return true;
    if (relocationsStripped_ || relocSize_ == 0) {
        status = STATUS_CONFLICTING_ADDRESSES;
        error = name_ + " has no base relocations and cannot be loaded away from " + hex(preferredBase_);
        return false;
    }
    uint32_t offset = 0;
    while (offset + 8 <= relocSize_) {
        const uint8_t* block = at(relocRva_ + offset, 8);
        if (!block)
            break;
        uint32_t page = read<uint32_t>(block);
        uint32_t blockSize = read<uint32_t>(block + 4);
        if (blockSize < 8 || offset + blockSize > relocSize_) {
            status = STATUS_INVALID_IMAGE_FORMAT;
            error = name_ + ": base relocation block at " + hex(relocRva_ + offset) + " has size " + hex(blockSize);
            return false;
        }
        for (uint32_t i = 8; i + 2 <= blockSize; i += 2) {
            uint16_t entry = read<uint16_t>(block + i);
            uint16_t type = entry >> 12;
            uint32_t rva = page + (entry & 0xFFF);
            if (type == kRelAbsolute)
                continue;
            if (type != kRelDir64) {
                status = STATUS_INVALID_IMAGE_FORMAT;
                error = name_ + ": base relocation of type " + std::to_string(type) + " at RVA " + hex(rva) +
                        " (an x64 image has only 64-bit ones)";
                return false;
            }
            auto* target = const_cast<uint8_t*>(at(rva, 8));
            if (!target) {
                status = STATUS_INVALID_IMAGE_FORMAT;
                error = name_ + ": base relocation at RVA " + hex(rva) + " lies outside the image";
                return false;
            }
            uint64_t v = read<uint64_t>(target) + uint64_t(delta);
            memcpy(target, &v, sizeof v);
        }
        offset += blockSize;
    }
    return true;
}

bool PeImage::bindImports(ImageLoader& exports, NTSTATUS& status, std::string& error) {
    if (importSize_ == 0)
        return true;
    for (uint32_t d = importRva_;; d += 20) {
        const uint8_t* desc = at(d, 20);
        if (!desc) {
            status = STATUS_INVALID_IMAGE_FORMAT;
            error = name_ + ": import table runs outside the image";
            return false;
        }
        uint32_t lookup = read<uint32_t>(desc), nameRva = read<uint32_t>(desc + 12),
                 iat = read<uint32_t>(desc + 16);
        if (nameRva == 0 && iat == 0)
            break;
        const char* dll = reinterpret_cast<const char*>(at(nameRva, 1));
        if (!dll || !memchr(dll, 0, size_ - nameRva)) {
            status = STATUS_INVALID_IMAGE_FORMAT;
            error = name_ + ": import descriptor without a module name";
            return false;
        }
        const ExportModule* module = exports.module(dll);
        if (!module) {
            status = STATUS_DLL_NOT_FOUND;
            error = name_ + " imports from " + dll + ", a module the platform does not have";
            return false;
        }
        for (uint32_t i = 0;; ++i) {
            const uint8_t* thunk = at((lookup ? lookup : iat) + 8 * i, 8);
            auto* slot = const_cast<uint8_t*>(at(iat + 8 * i, 8));
            if (!thunk || !slot) {
                status = STATUS_INVALID_IMAGE_FORMAT;
                error = name_ + ": import thunks of " + dll + " run outside the image";
                return false;
            }
            uint64_t entry = read<uint64_t>(thunk);
            if (entry == 0)
                break;
            const ExportEntry* e = nullptr;
            std::string what;
            if (entry & kImportByOrdinal) {
                uint32_t ordinal = uint32_t(entry & 0xFFFF);
                e = exports.byOrdinal(module, ordinal);
                what = "ordinal " + std::to_string(ordinal);
            } else {
                const char* routine = reinterpret_cast<const char*>(at(uint32_t(entry) + 2, 1));
                if (!routine || !memchr(routine, 0, size_ - uint32_t(entry) - 2)) {
                    status = STATUS_INVALID_IMAGE_FORMAT;
                    error = name_ + ": an import of " + dll + " has no name";
                    return false;
                }
                e = exports.byName(module, routine);
                what = routine;
            }
            if (!e) {
                status = STATUS_PROCEDURE_NOT_FOUND;
                error = name_ + " imports " + what + " from " + module->name + ", which the platform does not export";
                return false;
            }
            uint64_t address = reinterpret_cast<uint64_t>(e->address);
            memcpy(slot, &address, sizeof address);
        }
    }
    return true;
}

void PeImage::protect() {
    long page = sysconf(_SC_PAGESIZE);
    // Page by page: the union of the protections of the sections on it
    // (several share a page when the image's section alignment is smaller).
    std::vector<int> prot(size_ / page, 0);
    for (auto& s : sections_) {
        int p = 0;
        if (s.characteristics & kScnMemRead)
            p |= PROT_READ;
        if (s.characteristics & kScnMemWrite)
            p |= PROT_READ | PROT_WRITE;
        if (s.characteristics & kScnMemExecute)
            p |= PROT_READ | PROT_EXEC;
        for (size_t pg = s.rva / page; pg < prot.size() && pg * page < size_t(s.rva) + s.size; ++pg)
            prot[pg] |= p;
    }
    prot[0] |= PROT_READ;   // the headers
    for (size_t pg = 0; pg < prot.size(); ++pg)
        mprotect(reinterpret_cast<void*>(base_ + pg * page), page, prot[pg]);
}

void PeImage::readSymbols(const std::vector<uint8_t>& file) {
    uint32_t nt = read<uint32_t>(&file[0x3C]);
    const uint8_t* fh = &file[nt + 4];
    uint32_t symbolTable = read<uint32_t>(fh + 8), symbolCount = read<uint32_t>(fh + 12);
    if (symbolTable == 0 || symbolTable > file.size() || symbolCount > (file.size() - symbolTable) / 18)
        return;
    size_t strings = symbolTable + size_t(symbolCount) * 18;
    for (uint32_t i = 0; i < symbolCount; ++i) {
        const uint8_t* s = &file[symbolTable + size_t(i) * 18];
        int16_t section = read<int16_t>(s + 12);
        uint8_t storage = s[16], aux = s[17];
        i += aux;
        // External and static symbols of a section (functions and data alike).
        if (section <= 0 || size_t(section) > sections_.size() || (storage != 2 && storage != 3))
            continue;
        std::string name;
        if (read<uint32_t>(s) == 0) {
            size_t off = strings + read<uint32_t>(s + 4);
            if (off >= file.size())
                continue;
            const char* p = reinterpret_cast<const char*>(&file[off]);
            name.assign(p, strnlen(p, file.size() - off));
        } else {
            name.assign(reinterpret_cast<const char*>(s), strnlen(reinterpret_cast<const char*>(s), 8));
        }
        // Section names (".text", ".data$x") are static symbols too.
        if (name.empty() || name[0] == '.')
            continue;
        symbols_.push_back({sections_[section - 1].rva + read<uint32_t>(s + 8), name});
    }
    std::sort(symbols_.begin(), symbols_.end());
}

PDRIVER_INITIALIZE PeImage::entryPoint() const {
    return entryRva_ ? reinterpret_cast<PDRIVER_INITIALIZE>(base_ + entryRva_) : nullptr;
}

void* PeImage::symbol(const char* name) const {
    if (exportSize_) {
        const uint8_t* dir = at(exportRva_, 40);
        if (dir) {
            uint32_t nameCount = read<uint32_t>(dir + 24), functions = read<uint32_t>(dir + 28),
                     names = read<uint32_t>(dir + 32), ordinals = read<uint32_t>(dir + 36);
            for (uint32_t i = 0; i < nameCount; ++i) {
                const uint8_t* n = at(names + 4 * i, 4);
                const uint8_t* o = at(ordinals + 2 * i, 2);
                if (!n || !o)
                    break;
                const char* exported = reinterpret_cast<const char*>(at(read<uint32_t>(n), 1));
                if (exported && strcmp(exported, name) == 0) {
                    const uint8_t* f = at(functions + 4 * read<uint16_t>(o), 4);
                    return f ? reinterpret_cast<void*>(base_ + read<uint32_t>(f)) : nullptr;
                }
            }
        }
    }
    for (auto& [rva, n] : symbols_)
        if (n == name)
            return reinterpret_cast<void*>(base_ + rva);
    return nullptr;
}

std::string PeImage::describe(uintptr_t address) const {
    uint32_t rva = uint32_t(address - base_);
    std::string text = name_ + "+" + hex(rva);
    auto it = std::upper_bound(symbols_.begin(), symbols_.end(), std::make_pair(rva, std::string("\xff")));
    if (it != symbols_.begin()) {
        --it;
        text += " (" + it->second + (rva == it->first ? "" : "+" + hex(rva - it->first)) + ")";
    }
    return text;
}

std::string PeImage::symbolAt(uintptr_t address) const {
    uint32_t rva = uint32_t(address - base_);
    auto it = std::lower_bound(symbols_.begin(), symbols_.end(), std::make_pair(rva, std::string()));
    return it != symbols_.end() && it->first == rva ? it->second : std::string();
}

// ---- ImageLoader ---------------------------------------------------------------

void installImageTrapHandler();

ImageLoader::~ImageLoader() = default;

const ExportModule* ImageLoader::module(const std::string& name) {
    std::lock_guard g(mutex_);
    auto key = lower(name);
    auto it = modules_.find(key);
    if (it == modules_.end()) {
        Module m{findExportModule(name), {}};
        if (m.table) {
            for (size_t i = 0; i < m.table->count; ++i)
                m.byName.push_back(&m.table->entries[i]);
            std::sort(m.byName.begin(), m.byName.end(), [](auto* a, auto* b) { return strcmp(a->name, b->name) < 0; });
        }
        it = modules_.emplace(key, std::move(m)).first;
    }
    return it->second.table;
}

const ExportEntry* ImageLoader::byName(const ExportModule* m, const char* name) {
    std::lock_guard g(mutex_);
    auto& byName = modules_.at(lower(m->name)).byName;
    auto it = std::lower_bound(byName.begin(), byName.end(), name,
                               [](auto* e, const char* n) { return strcmp(e->name, n) < 0; });
    return it != byName.end() && strcmp((*it)->name, name) == 0 ? *it : nullptr;
}

const ExportEntry* ImageLoader::byOrdinal(const ExportModule* m, uint32_t ordinal) {
    std::lock_guard g(mutex_);
    auto& byName = modules_.at(lower(m->name)).byName;
    return ordinal >= 1 && ordinal <= byName.size() ? byName[ordinal - 1] : nullptr;
}

uint32_t ImageLoader::ordinalOf(const std::string& moduleName, const char* routine) {
    const ExportModule* m = module(moduleName);
    if (!m)
        return 0;
    std::lock_guard g(mutex_);
    auto& byName = modules_.at(lower(m->name)).byName;
    for (size_t i = 0; i < byName.size(); ++i)
        if (strcmp(byName[i]->name, routine) == 0)
            return uint32_t(i + 1);
    return 0;
}

std::unique_ptr<PeImage> ImageLoader::load(const std::string& name, const std::vector<uint8_t>& bytes,
                                           NTSTATUS& status, std::string& error) {
    auto image = PeImage::load(name, bytes, *this, status, error);
    if (!image)
        return nullptr;
    for (auto& slot : images_) {
        const PeImage* expected = nullptr;
        if (slot.compare_exchange_strong(expected, image.get())) {
            installImageTrapHandler();
            active_.store(true);
            return image;
        }
    }
    status = STATUS_INSUFFICIENT_RESOURCES;
    error = name + ": more than " + std::to_string(kMaxImages) + " images on one machine";
    return nullptr;
}

void ImageLoader::unload(std::unique_ptr<PeImage> image) {
    if (int calls = image->activeCalls()) {
        machine_.verifier().report("driver image " + image->name() + " unloaded while " + std::to_string(calls) +
                                   " call(s) of the platform into it have not returned (a thread of the driver "
                                   "still running?); it stays mapped until the machine goes away");
        std::lock_guard g(mutex_);
        retired_.push_back(std::move(image));
        return;
    }
    for (auto& slot : images_) {
        const PeImage* expected = image.get();
        if (slot.compare_exchange_strong(expected, nullptr))
            break;
    }
}

const PeImage* ImageLoader::imageAt(const void* address) const {
    if (!active())
        return nullptr;
    auto a = reinterpret_cast<uintptr_t>(address);
    for (auto& slot : images_)
        if (const PeImage* image = slot.load(std::memory_order_acquire); image && image->contains(a))
            return image;
    return nullptr;
}

CodeOwner codeOwner(Machine& machine, const void* address) {
    CodeOwner owner;
    if (!address)
        return owner;
    if (const PeImage* image = machine.loader().imageAt(address)) {
        owner.base = reinterpret_cast<const void*>(image->base());
        owner.name = image->name();
        owner.image = image;
        return owner;
    }
    Dl_info info{};
    if (dladdr(address, &info)) {
        owner.base = info.dli_fbase;
        owner.name = info.dli_fname ? info.dli_fname : "";
    }
    return owner;
}

// ---- guarded calls -------------------------------------------------------------

const PeImage* guardedImage(ThreadRec* t, const void* routine) {
    return t && t->machine->loader().active() ? t->machine->loader().imageAt(routine) : nullptr;
}

void enterGuard(ThreadRec* t, ImageGuard& g) {
    g.outer = t->guard;
    g.irql = t->irql;
    g.heldSpinLocks = t->heldSpinLocks.size();
    g.image->activeCalls_.fetch_add(1);
    t->guard = &g;
    if (t->startImage == g.image)
        releaseThreadStart(t);
}

void holdForThreadStart(ThreadRec* rec, const PeImage* image) {
    image->activeCalls_.fetch_add(1);
    rec->startImage = image;
}

void releaseThreadStart(ThreadRec* rec) {
    if (const PeImage* image = std::exchange(rec->startImage, nullptr))
        image->activeCalls_.fetch_sub(1);
}

void leaveGuard(ThreadRec* t, ImageGuard& g) {
    t->guard = g.outer;
    g.image->activeCalls_.fetch_sub(1);
}

void afterGuardJump(ThreadRec* t, ImageGuard& g) {
    leaveGuard(t, g);
    if (g.reason == ImageGuard::Exit)
        throw ThreadExit{g.status};
    // A fault: the routine is abandoned where it stood. Spin locks it took
    // are let go and the IRQL it raised comes back down, so that the
    // machine can go on to its end (the fault has already failed the run).
    while (t->heldSpinLocks.size() > g.heldSpinLocks) {
        PKSPIN_LOCK l = t->heldSpinLocks[t->heldSpinLocks.size() - 1];
        t->machine->dispatcher().releaseSpinLock(t, l, "the end of a faulted routine");
    }
    t->irql = g.irql;
}

void leaveImageForThreadExit(NTSTATUS status, const void* caller) {
    ThreadRec* t = currentThread();
    if (!t || !t->machine->loader().imageAt(caller))
        throw ThreadExit{status};
    if (!t->guard) {
        fprintf(stderr, "zhost: a thread ends inside image code that the platform did not call\n");
        std::abort();
    }
    t->guard->reason = ImageGuard::Exit;
    t->guard->status = status;
    siglongjmp(t->guard->jump, 1);
}

} // namespace host
