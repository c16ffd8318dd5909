#ifndef FALLIBLE_H
#define FALLIBLE_H

#include <QString>

/// The host tools' one error habit: an operation returns false and errorString() says why.
class Fallible {
public:
    /// Why the last operation that returned false failed.
    QString errorString() const { return m_errorString; }

protected:
    /// Keeps why as the reason; false, for the failing operation to return.
    [[nodiscard]] bool fail(const QString& why)
    {
        m_errorString = why;
        return false;
    }
    /// Keeps why unless a reason is kept already: the first failure is the one to tell.
    void failOnce(const QString& why)
    {
        if (m_errorString.isEmpty())
            m_errorString = why;
    }

private:
    QString m_errorString;
};

#endif // FALLIBLE_H
