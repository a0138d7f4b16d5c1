#pragma once

#include "support/CatalogueSandbox.h"
#include "support/ProgramRun.h"

// The real program copied into sandbox's program folder; answers its path.
inline QString CopyProgram(const Sandbox& sandbox) {
    const QString program = sandbox.Path("Program/orvex-product-update");
    EXPECT_TRUE(QFile::copy(ORVEX_BINARY_DIR "/orvex-product-update", program)) << "copy";
    QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return program;
}

// The program is copied into the sandbox: its own folder is where it looks for its version
// file and the products' version files.
struct Installation : CatalogueSandbox {
    explicit Installation(const QString& server, const QByteArray& list = {}) {
        CopyProgram(*this);
        Write("Program/OrvexProductUpdate.xml", VersionFile("1.0.0.0", server, "self.xml"));
        for (const QString name : {"A", "B", "C"})
            Write("ORVEX Software Update/" + name + ".xml",
                  VersionFile("1.0.0.0", server, name.toLower() + ".xml"));
        Write("ProgramData/productlist.xml", list.isEmpty() ? List(server) : list);
    }
    static QByteArray List(const QString& server) {
        return CatalogueSandbox::List(
            "1.0.0.0", server + "list.xml",
            {Product("Alpha", "A"), Product("Beta", "B"), Product("Gamma", "C")});
    }
    QString Program() const { return Path("Program/orvex-product-update"); }
    // Runs the program silently, on a display of its own when a window is expected, which
    // the person then closes with Escape; a run that leaves a file behind fails.
    // Without a window the run takes env when one is given.
    Outcome RunSilent(bool window, const QStringList& more = {},
                      const QProcessEnvironment& env = {}) const {
        if (!window)
            return Checked(
                RunProgram(Program(), QStringList{"-silent"} + more,
                           env.isEmpty() ? ProgramEnvironment(*this, "offscreen") : env));
        XServer x;
        EXPECT_FALSE(x.Display().isEmpty()) << "Xvfb did not start (package xvfb)";
        QProcess program;
        program.setProcessEnvironment(ProgramEnvironment(*this, x.Display()));
        program.start(Program(), QStringList{"-silent"} + more);
        const QString shown = x.WaitForWindow("ORVEX Product Update");
        x.PressEscape(shown);
        const Outcome outcome = Finish(program);
        EXPECT_FALSE(shown.isEmpty()) << "the finding was not shown; the program said:\n"
                                      << outcome.out.toStdString() << outcome.err.toStdString();
        return Checked(outcome);
    }
    static Outcome Checked(const Outcome& outcome) {
        EXPECT_EQ(std::pair(outcome.status, outcome.exitCode), std::pair(QProcess::NormalExit, 0));
        EXPECT_EQ(TemporaryFiles(), QStringList());
        return outcome;
    }
};
