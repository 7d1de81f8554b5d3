#pragma once

#include <utility>

// Sets a static test seam for as long as this object lives and puts the old value back when it
// goes, so a seam can never leak from one test function or test executable run into the next,
// not even when a failed check returns early.
template<typename T>
class TestSeam
{
    template<typename U>
    struct Same
    {
        using Type = U;
    };

public:
    // The value's type follows the seam, so `TestSeam s(sizeSeam, 1000)` needs no cast.
    TestSeam(T& seam, typename Same<T>::Type value)
        : m_seam(seam)
        , m_old(seam)
    {
        m_seam = std::move(value);
    }
    ~TestSeam() { m_seam = std::move(m_old); }

    TestSeam(const TestSeam&) = delete;
    TestSeam& operator=(const TestSeam&) = delete;

private:
    T& m_seam;
    T m_old;
};
