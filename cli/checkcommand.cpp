#include "checkcommand.h"

#include "evalmode.h"
#include "functionlist.h"
#include "options.h"
#include "plainmode.h"
#include "preciseoutput.h"
#include "replayoutput.h"

#include <QDir>
#include <QFile>

using namespace Qt::StringLiterals;

namespace morvane {

namespace {

// --list, else list.txt beside the program, else the user's (where the window keeps it after a
// system install), else the built-in names. Never written here.
bool loadList(const QString &explicitList, QStringList *entries, QString *error)
{
    QString path = explicitList;
    if (path.isEmpty()) {
        for (const QString &candidate :
             {defaultListPath(), QDir(userListDir()).filePath(u"list.txt"_s)})
            if (listFileExists(candidate)) {
                path = candidate;
                break;
            }
    }
    if (path.isEmpty()) {
        *entries = builtinFunctionNames();
        return true;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = path + u": "_s + file.errorString();
        return false;
    }
    if (!readFunctionList(file, entries, error)) {
        // The reader says only the bound when the list is over it.
        if (*error == QString::number(kMaxListFileBytes))
            *error = u"函数列表大于 %1 MiB（%2 字节）的上限，未使用"_s.arg(kMaxListFileBytes >> 20)
                         .arg(kMaxListFileBytes);
        *error = path + u": "_s + *error;
        return false;
    }
    return true;
}

} // namespace

int runCheckCommand(const QStringList &arguments, QIODevice &in, QIODevice &out, QIODevice &err)
{
    Writer stdOut(out);
    Writer stdErr(err);
    auto fail = [&](const QString &message) {
        stdErr << QString::fromLatin1(kProgram) + u": "_s + message + u'\n';
    };
    // A report that could not be written is no report: say so, and exit 2.
    auto finish = [&](int status) {
        if (!stdOut.flush()) {
            fail(u"无法写出结果："_s + stdOut.errorString());
            return 2;
        }
        return status;
    };

    Options options;
    QString error;
    switch (parseOptions(arguments, &options, stdOut, &error)) {
    case ParseResult::Done:
        return finish(0);
    case ParseResult::Failed:
        fail(error);
        return 2;
    case ParseResult::Run:
        break;
    }

    if (options.eval) {
        stdOut.flush();
        return runEvalCommand(options.inputs.front(), options.bars, options.params, options.finalAt,
                              in, out, err);
    }
    if (options.replay) {
        stdOut.flush();
        return runReplayCommand(options, in, out, err);
    }

    QStringList entries;
    if (!loadList(options.list, &entries, &error)) {
        fail(error);
        return 2;
    }
    if (options.precise)
        return finish(runPrecise(options, entries, in, stdOut, fail));
    return finish(runPlain(options, entries, in, stdOut, fail));
}

} // namespace morvane
