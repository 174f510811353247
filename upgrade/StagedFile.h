#pragma once
// A new file made beside its target and put in the target's place only when
// it is complete: a copy or a decode that fails half-way never touches the
// file that was there. Both ways of installing an entry use it.

#include <string>

class StagedFile {
public:
    StagedFile() = default;
    // Removes the staged file unless it was put in place.
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Creates "<target>.~new", empty, or ".~new1" to ".~new9" when that name
    // is taken, so that no file of anybody else's is ever overwritten.
    bool Reserve(const std::wstring& target);
    const std::wstring& Path() const { return m_path; }

    // Moves the staged file over the target, replacing it. A read-only target
    // is refused, as a copy over it would be; some file systems would let a
    // rename replace it all the same.
    bool PutInPlace();

private:
    std::wstring m_target;
    std::wstring m_path;
    bool m_placed = false;
};
