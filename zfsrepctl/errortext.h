// The service's answer codes ("err") in plain English for zfsrepctl's
// messages. The service's own "errmsg" texts are written for the appliance's
// interface and stay as they are; the client never reads them, except that
// the output of a failed tool or of the database (ERR_EXECUTE,
// ERR_SQLERROR) is shown after the sentence as it came, and --raw shows the
// service's message in place of the sentence. Pure functions.
#pragma once

#include <QJsonObject>
#include <QString>

// What the user asked for, so that a sentence can name the thing at fault.
struct RefusalContext {
    QString what;    // the request as people say it: "run mission 3", "add \"nightly\""
    QString command; // the subcommand ("run", "cancel", "add", ...) or the method
    QString method;  // the RPC method that was called ("zfsrep_mission_run")
    int msnno = 0;   // the mission named, 0 when none
    QString caption; // the caption given (add), empty when none
};

// The sentence of the catalogue for `code` (TQ2Error::ERRORCODE), without a
// final full stop; empty for a code outside the catalogue.
QString codeSentence(int code);

// One English sentence for `code` in `context`: the catalogue's sentence,
// or for the codes the mission methods answer a sentence that names the
// mission, caption or method ("mission 9 does not exist"). A code outside
// the catalogue reads "the service answered an unknown code".
QString errorSentence(int code, const RefusalContext &context);

// The line zfsrepctl prints for a refused answer (without "zfsrepctl: "
// and newline): "WHAT: SENTENCE (err CODE)", with the tool's or database's
// message after the sentence for ERR_EXECUTE and ERR_SQLERROR, and the
// refused parameters for ERR_PARAMS when the answer names them ("fault":
// "missing" or "invalid", "fields": [...]). With `raw`
// the service's message stands in place of the sentence, as it came:
// "WHAT failed: ERRMSG (err CODE)".
QString refusalLine(const QJsonObject &answer, const RefusalContext &context, bool raw);
