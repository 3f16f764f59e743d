#include "tq2sqlcatalogue.h"

#include "tq2utils.h"

namespace {

const char kDefaultCatalogue[] = R"json({
  "configure_alload": {
    "text": "SELECT CFG_Key AS key, CFG_Value AS value FROM SYS_Configure ORDER BY CFG_Key;",
    "params": {"key": "string"}
  },
  "configure_get": {
    "text": "SELECT CFG_Value AS value FROM SYS_Configure WHERE CFG_Key = :key LIMIT 1;",
    "params": {"key": "string"}
  },
  "configure_change": {
    "text": "UPDATE SYS_Configure SET CFG_Value = :value WHERE cfg_key = :key;",
    "params": {"key": "string", "value": "string"}
  },
  "configure_append": {
    "text": "INSERT INTO SYS_Configure( CFG_Key, CFG_Value)VALUES( :key, :value);",
    "params": {"key": "string", "value": "string"}
  }
})json";

// One declaration line of a "params:" block: "name", "name type" or
// "name type ignored...". Only the space character separates words.
void declare(QJsonObject &params, const QString &line)
{
    QString name;
    QString type;
    const int space = line.indexOf(QLatin1Char(' '));
    if (space < 0) {
        name = line;
        type = QStringLiteral("string");
    } else {
        name = line.left(space);
        const QString rest = line.mid(space + 1).trimmed();
        const int end = rest.indexOf(QLatin1Char(' '));
        type = end < 0 ? rest : rest.left(end);
    }
    if (name.startsWith(QLatin1Char('@')) || name.startsWith(QLatin1Char(':')))
        name.remove(0, 1);
    params.insert(name, type.toLower());
}

class Parser
{
public:
    explicit Parser(QJsonObject start) : m_catalogue(std::move(start)) {}

    void feed(const QString &line)
    {
        if (line.isEmpty())
            return;
        if (line.startsWith(QLatin1String("SQL:"), Qt::CaseInsensitive)) {
            finish();
            m_id = line.mid(4).trimmed().toLower();
            m_text.clear();
            m_params = QJsonObject();
            m_inParams = false;
            return;
        }
        if (line.startsWith(QLatin1String("Params:"), Qt::CaseInsensitive)) {
            m_inParams = true;
            return;
        }
        if (m_id.isEmpty())
            return;
        if (m_inParams)
            declare(m_params, line);
        else
            m_text += line + QLatin1Char('\n');
    }

    // Stores the pending statement when it has both an id and a text.
    void finish()
    {
        if (m_id.isEmpty() || m_text.isEmpty())
            return;
        m_text.replace(QLatin1Char('@'), QLatin1Char(':'));
        m_catalogue.insert(m_id, QJsonObject{{"id", m_id}, {"text", m_text}, {"params", m_params}});
    }

    QJsonObject catalogue() const { return m_catalogue; }

private:
    QJsonObject m_catalogue;
    QString m_id;
    QString m_text;
    QJsonObject m_params;
    bool m_inParams = false;
};

} // namespace

QJsonObject TQ2SqlCatalogue::defaults()
{
    return toJsonObject(QByteArray(kDefaultCatalogue));
}

QStringList TQ2SqlCatalogue::delSqlComments(const QString &text)
{
    QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString &line : lines) {
        const int comment = line.indexOf(QLatin1String("--"));
        if (comment >= 0)
            line.truncate(comment);
        line = line.trimmed();
    }
    return lines;
}

QJsonObject TQ2SqlCatalogue::parse(const QString &text)
{
    Parser parser(defaults());
    for (const QString &line : delSqlComments(text))
        parser.feed(line);
    parser.finish();
    return parser.catalogue();
}
