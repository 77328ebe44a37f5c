// Stand-ins for the desktop's helper programs (xdg-open, xdg-email, a terminal, telnet):
// small shell scripts in a temporary folder put first on PATH, each writing the
// arguments it was given, after their count, to "<name>.args" in that
// folder, each followed by a NUL byte.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace velmora::uitest {

class FakePrograms {
 public:
  FakePrograms() : oldPath_(qgetenv("PATH")) { qputenv("PATH", dir_.path().toUtf8() + ":" + oldPath_); }
  ~FakePrograms() { qputenv("PATH", oldPath_); }
  FakePrograms(const FakePrograms&) = delete;
  FakePrograms& operator=(const FakePrograms&) = delete;

  // A program that records its arguments, then runs `extra` (shell text; "$@" are the
  // arguments) and exits with `status`.
  QString add(const QString& name, const QString& extra = QString(), int status = 0) {
    const QString path = dir_.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return QString();
    const QString out = dir_.filePath(name + ".args");
    QString script =
        QStringLiteral("#!/bin/sh\n{ printf '%s\\0' $#; for a in \"$@\"; do printf '%s\\0' \"$a\"; done; } > '%1.tmp'\n")
            .arg(out);
    script += extra + QStringLiteral("\n/bin/mv '%1.tmp' '%1'\nexit %2\n").arg(out).arg(status);
    file.write(script.toUtf8());
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
  }
  // The arguments the program was last run with (empty when it has not run yet):
  // the count first, then each argument.
  QStringList arguments(const QString& name) const {
    QFile file(dir_.filePath(name + ".args"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    QString text = QString::fromUtf8(file.readAll());
    if (text.endsWith(QChar(0))) text.chop(1);
    return text.split(QChar(0));
  }
  QString path(const QString& name) const { return dir_.filePath(name); }
  // PATH holding only the fake programs' folder.
  void onlyFakes() { qputenv("PATH", dir_.path().toUtf8()); }

 private:
  QTemporaryDir dir_;
  QByteArray oldPath_;
};

}  // namespace velmora::uitest
