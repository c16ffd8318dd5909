#include "upgradeplanner.h"

#include "packiteminfo.h"
#include "statustexts.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QSet>

namespace {

// tmpfs, which /tmp is on the appliance, keeps every file in whole pages.
const qint64 kPageSize = 4096;

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QString shownPath(const QString& path, const QString& shownFrom)
{
    return path.startsWith(shownFrom) ? path.mid(shownFrom.size()) : path;
}

QString stageLabel(const st_otaStage& stage)
{
    return QStringLiteral("%1 stage (keyword \"%2\")")
        .arg(QLatin1String(stage.name), QLatin1String(stage.keyword));
}

} // namespace

QString UpgradePlan::verdict() const
{
    return messages.isEmpty() ? QString() : messages.last().left(4);
}

QString UpgradePlan::describe() const
{
    QString text = QStringLiteral("device: product model %1, scanner type %2\n")
                       .arg(productModel.isEmpty() ? QStringLiteral("(none)") : productModel,
                            scannerType.isEmpty() ? QStringLiteral("(none)") : scannerType);
    if (modelAssumed)
        text += QStringLiteral("  assumed to be of the package's own model; --product-model, "
                               "--scanner-type, --issue or --scanner-config plan for another\n");
    text += QStringLiteral("package on the device: %1\n").arg(devicePath);
    text += QStringLiteral("verdict: %1\n").arg(messages.value(messages.size() - 1));
    if (tmpRunsOut)
        text += QStringLiteral("  unless /tmp runs out first, as the hazards tell\n");
    text += QStringLiteral("\nstatus messages after the start-up message:\n");
    for (const QString& message : messages)
        text += QStringLiteral("  %1\n").arg(message);
    text += QStringLiteral("\ntool calls and copies, in order:\n");
    for (const PlannedTool& tool : tools) {
        QString line;
        if (tool.commandLine.isEmpty()) {
            QStringList words;
            for (const QString& word : tool.argv)
                words << UpgradeScanner::g_shellWord(word);
            line = words.join(QLatin1Char(' '));
        } else {
            line = QStringLiteral("shell: ") + tool.commandLine;
        }
        if (!tool.copyTo.isEmpty())
            line += QStringLiteral("  (copies to %1)").arg(tool.copyTo);
        if (tool.detached)
            line += QStringLiteral("  (detached)");
        text += QStringLiteral("  %1\n").arg(line);
    }
    if (tools.isEmpty())
        text += QStringLiteral("  none\n");
    text += QStringLiteral("\nleft in /tmp/upgrade: %1\n")
                .arg(left.isEmpty() ? QStringLiteral("nothing") : left.join(QLatin1Char(' ')));
    text += QStringLiteral("peak space in /tmp: %1 bytes (%2 MiB), %3\n")
                .arg(tmpPeakBytes)
                .arg(QString::number(double(tmpPeakBytes) / (1 << 20), 'f', 1), tmpPeakStage);
    text += QStringLiteral("least time the waits impose: %1 s until the last message\n")
                .arg(QString::number(double(waitMs) / 1000, 'f', 2));
    text +=
        QStringLiteral("hazards:%1\n").arg(hazards.isEmpty() ? QStringLiteral(" none") : QString());
    for (const QString& hazard : hazards)
        text += QStringLiteral("  %1\n").arg(hazard);
    return text;
}

QJsonObject UpgradePlan::toJson() const
{
    QJsonArray toolArray;
    for (const PlannedTool& tool : tools) {
        if (tool.commandLine.isEmpty())
            toolArray.append(QJsonArray::fromStringList(tool.argv));
        else
            toolArray.append(tool.commandLine);
    }
    return QJsonObject{{QStringLiteral("verdict"), verdict()},
                       {QStringLiteral("devicePath"), devicePath},
                       {QStringLiteral("productModel"), productModel},
                       {QStringLiteral("scannerType"), scannerType},
                       {QStringLiteral("modelAssumed"), modelAssumed},
                       {QStringLiteral("messages"), QJsonArray::fromStringList(messages)},
                       {QStringLiteral("tools"), toolArray},
                       {QStringLiteral("leftInTmpUpgrade"), QJsonArray::fromStringList(left)},
                       {QStringLiteral("tmpPeakBytes"), double(tmpPeakBytes)},
                       {QStringLiteral("tmpPeakStage"), tmpPeakStage},
                       {QStringLiteral("tmpRunsOut"), tmpRunsOut},
                       {QStringLiteral("waitMs"), double(waitMs)},
                       {QStringLiteral("hazards"), QJsonArray::fromStringList(hazards)}};
}

bool FleetPlan::anyInstalls() const
{
    for (const ModelVerdict& row : models) {
        if (row.refusal.isEmpty())
            return true;
    }
    return false;
}

QString FleetPlan::describe() const
{
    const auto line = [](const QString& model, const QString& verdict, const QString& refusal) {
        const QString start = model.leftJustified(16) + QLatin1Char(' ') + verdict;
        return (refusal.isEmpty() ? start : start.leftJustified(24) + QLatin1Char(' ') + refusal) +
               QLatin1Char('\n');
    };
    QString text =
        line(QStringLiteral("model"), QStringLiteral("verdict"), QStringLiteral("refusal"));
    for (const ModelVerdict& row : models)
        text += line(row.model, row.verdict, row.refusal);
    return text;
}

QJsonObject FleetPlan::toJson() const
{
    QJsonArray rows;
    for (const ModelVerdict& row : models)
        rows.append(QJsonObject{{QStringLiteral("model"), row.model},
                                {QStringLiteral("verdict"), row.verdict},
                                {QStringLiteral("refusal"), row.refusal}});
    return QJsonObject{{QStringLiteral("models"), rows}};
}

UpgradePlanner::UpgradePlanner(const QString& path, const QString& devicePath)
    : m_path(path), m_devicePath(devicePath)
{
}

bool UpgradePlanner::fail(const QString& why)
{
    m_error = why;
    return false;
}

// The scratch directory stands for the device's root: every device path the upgrade touches
// maps into it, and nothing outside it is written.
QString UpgradePlanner::local(const QString& devicePath) const
{
    QString path = m_root + QDir::cleanPath(devicePath);
    if (devicePath.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path;
}

QStringList UpgradePlanner::workDirEntries() const
{
    QStringList entries;
    for (const QFileInfo& info :
         QDir(local(QLatin1String(kUpgradeDir)))
             .entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        entries << info.fileName() +
                       (info.isDir() && !info.isSymLink() ? QStringLiteral("/") : QString());
    return entries;
}

qint64 UpgradePlanner::tmpUsage() const
{
    qint64 bytes = 0;
    QDirIterator it(local(QStringLiteral("/tmp")),
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        if (!info.isSymLink() && info.isFile())
            bytes += (info.size() + kPageSize - 1) / kPageSize * kPageSize;
    }
    return bytes;
}

bool UpgradePlanner::read()
{
    QFile package(m_path);
    if (!package.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot open %1: %2").arg(m_path, package.errorString()));
    const qint64 packageSize = package.size();
    package.close();
    if (!m_scratch.isValid())
        return fail(
            QStringLiteral("cannot make a scratch directory: %1").arg(m_scratch.errorString()));
    m_root = QDir(m_scratch.path()).canonicalPath();

    // The package stands at its device path as a link, so that the reader's own refusal to
    // extract a file over the package applies as on the device.
    const QString packageLink = local(m_devicePath);
    const bool written =
        QDir().mkpath(local(QLatin1String(kUpgradeDir))) &&
        QDir().mkpath(QFileInfo(packageLink).path()) &&
        (m_savePara.isNull() ||
         writeFile(local(UpgradeScanner::g_saveParaPath(m_devicePath)), m_savePara)) &&
        (m_tmpSavePara.isNull() || writeFile(local(QLatin1String(kTmpSavePara)), m_tmpSavePara)) &&
        QFile::link(QFileInfo(m_path).absoluteFilePath(), packageLink);
    if (!written)
        return fail(QStringLiteral("cannot write in the scratch directory %1").arg(m_root));

    st_packRead read;
    m_readOk =
        PackProcess::instance().readPackage(packageLink, m_items, m_type, m_information, read);
    m_extractPeak = tmpUsage();
    if (QDir::cleanPath(m_devicePath).startsWith(QLatin1String("/tmp/")))
        m_extractPeak += (packageSize + kPageSize - 1) / kPageSize * kPageSize;
    QFile::remove(packageLink);
    m_extractedEntries = workDirEntries();
    return true;
}

bool UpgradePlanner::unpack(const QString& archive)
{
    if (m_unpacked)
        return true;
    QProcess tar;
    tar.setStandardOutputFile(QProcess::nullDevice());
    tar.setStandardErrorFile(QProcess::nullDevice());
    tar.start(QStringLiteral("tar"),
              UpgradeScanner::g_tarArguments(local(archive), local(QLatin1String(kUpgradeDir))));
    if (!tar.waitForStarted(-1))
        return fail(QStringLiteral("cannot run tar: %1").arg(tar.errorString()));
    tar.waitForFinished(-1);
    m_unpacked = true;
    m_unpackPeak = tmpUsage();
    m_unpackedEntries = workDirEntries();
    return checkLinks();
}

// What a link out of the archive points to on the device cannot be known here, and following
// it would read the workstation's own files.
bool UpgradePlanner::checkLinks()
{
    const QString workDir = local(QLatin1String(kUpgradeDir));
    QDirIterator it(workDir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        if (!info.isSymLink())
            continue;
        const QString canonical = info.canonicalFilePath();
        const QString target =
            canonical.isEmpty() ? QDir::cleanPath(info.symLinkTarget()) : canonical;
        if (!target.startsWith(m_root + QLatin1Char('/')))
            return fail(QStringLiteral("the archive's %1 links to %2, outside the archive: what "
                                       "the device finds there cannot be planned")
                            .arg(info.filePath().mid(workDir.size()), info.symLinkTarget()));
    }
    return true;
}

QStringList UpgradePlanner::treeHazards() const
{
    QStringList hazards;
    QSet<QString> listed;
    const QString otaDir = QLatin1String(kOtaFileDir);
    for (const st_otaFiles& entry : m_otaFiles) {
        listed.insert(QDir::cleanPath(entry.path));
        if (UpgradeScanner::g_isSideFile(entry.path))
            hazards << QStringLiteral("%1 is listed in the manifest but never checked (a side "
                                      "file)")
                           .arg(shownPath(entry.path, QLatin1String(kUpgradeDir)));
    }
    const QString localOta = local(otaDir);
    QStringList unlisted;
    QDirIterator it(localOta, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = it.next().mid(localOta.size());
        if (relative != QLatin1String(kOtaManifestName) &&
            !listed.contains(QDir::cleanPath(otaDir + relative)))
            unlisted << relative;
    }
    unlisted.sort();
    for (const QString& relative : qAsConst(unlisted))
        hazards << QStringLiteral("ota_file/%1 is in the archive but not in the manifest: never "
                                  "verified, never flashed")
                       .arg(relative);
    return hazards;
}

QVector<StageHazard> UpgradePlanner::stageHazards(const QStringList& paths,
                                                  const QString& shownFrom)
{
    QList<st_otaFiles> files;
    for (const QString& path : paths)
        files.append({path, QString()});
    const QVector<st_otaStage>& stages = UpgradeScanner::g_otaStages();

    QVector<StageHazard> hazards;
    for (const st_otaStage& stage : stages) {
        const QString keyword = QLatin1String(stage.keyword);
        const QString taken = UpgradeScanner::g_stageFile(files, stage);
        if (taken.isEmpty()) {
            hazards.append(
                {StageHazard::NoFile,
                 QStringLiteral("no file for the %1: it is skipped").arg(stageLabel(stage))});
            continue;
        }
        if (!UpgradeScanner::g_getFilenameFromPath(taken).contains(keyword, Qt::CaseInsensitive))
            hazards.append({StageHazard::KeywordInDirectory,
                            QStringLiteral("%1 is taken by the %2: the keyword is only in a "
                                           "directory name")
                                .arg(shownPath(taken, shownFrom), stageLabel(stage))});
        for (int i = paths.indexOf(taken) + 1; i < paths.size(); ++i) {
            if (paths.at(i).contains(keyword, Qt::CaseInsensitive))
                hazards.append({StageHazard::SecondFile,
                                QStringLiteral("%1 also matches the %2, which takes %3 instead")
                                    .arg(shownPath(paths.at(i), shownFrom), stageLabel(stage),
                                         shownPath(taken, shownFrom))});
        }
    }
    for (const QString& path : paths) {
        QStringList matched;
        for (const st_otaStage& stage : stages) {
            if (path.contains(QLatin1String(stage.keyword), Qt::CaseInsensitive))
                matched << stageLabel(stage);
        }
        if (matched.size() > 1)
            hazards.append({StageHazard::TwoStages,
                            QStringLiteral("%1 matches the keywords of %2 stages: the %3")
                                .arg(shownPath(path, shownFrom))
                                .arg(matched.size())
                                .arg(matched.join(QStringLiteral(", the ")))});
    }
    return hazards;
}

void UpgradePlanner::parameterStage(UpgradePlan& result) const
{
    const QString paraPath = UpgradeScanner::g_saveParaFile(m_devicePath, m_root);
    result.messages << g_msgParaFile(paraPath);
    QFile paraFile(local(paraPath));
    if (!QFileInfo(paraFile).isFile()) {
        result.messages << g_msgParaNotFile(paraPath);
        return;
    }
    if (!paraFile.open(QIODevice::ReadOnly))
        return;
    bool hasChoice = false;
    bool savePara = false;
    QString parseError;
    if (!UpgradeScanner::g_parseSavePara(paraFile.readAll(), hasChoice, savePara, parseError)) {
        result.messages << g_msgParaNotJson(paraPath);
        return;
    }
    if (!hasChoice)
        return;
    result.messages << g_msgParaChoice(savePara);
    if (!savePara)
        result.waitMs += UpgradeScanner::kSavedConfigWaitMs;
}

void UpgradePlanner::finish(UpgradePlan& result, const Progress& progress) const
{
    const QString workDir = QLatin1String(kUpgradeDir);
    for (const QString& entry : progress.unpacked ? m_unpackedEntries : m_extractedEntries) {
        if ((progress.archiveDeleted && workDir + entry == progress.archive) ||
            (progress.done && workDir + entry == QLatin1String(kOtaFileDir)))
            continue;
        result.left << entry;
    }
    const QString packageDir = QFileInfo(QDir::cleanPath(m_devicePath)).path();
    if (!progress.packageDeleted && packageDir + QLatin1Char('/') == workDir)
        result.left << QFileInfo(m_devicePath).fileName();
    result.left.sort();

    const QString extracting = QStringLiteral("while the package's files are extracted (after "
                                              "UB11)");
    const QString unpacking = QStringLiteral("while the firmware archive is unpacked (after UB14)");
    result.tmpPeakBytes = m_extractPeak;
    result.tmpPeakStage = extracting;
    if (progress.unpacked && m_unpackPeak > m_extractPeak) {
        result.tmpPeakBytes = m_unpackPeak;
        result.tmpPeakStage = unpacking;
    }
    result.tmpRunsOut = m_tmpFree >= 0 && result.tmpPeakBytes > m_tmpFree;
    if (result.tmpRunsOut) {
        const bool early = m_extractPeak > m_tmpFree;
        result.hazards << QStringLiteral("/tmp runs out %1: the upgrade needs %2 bytes there, "
                                         "%3 are free")
                              .arg(early ? extracting : unpacking)
                              .arg(early ? m_extractPeak : m_unpackPeak)
                              .arg(m_tmpFree);
    }

    const qint64 sent = result.messages.size() + 1;
    result.waitMs +=
        sent * UpgradeScanner::kStatusLeadMs + (sent - 1) * UpgradeScanner::kStatusTrailMs;
}

bool UpgradePlanner::plan(const QString& productModel, const QString& scannerType,
                          UpgradePlan& result)
{
    result = UpgradePlan();
    result.devicePath = m_devicePath;
    result.productModel = productModel;
    result.scannerType = scannerType;
    QStringList& messages = result.messages;
    Progress progress;
    const auto stop = [&](const QString& message) {
        messages << message;
        finish(result, progress);
        return true;
    };

    messages << g_msgRequest(m_devicePath);
    if (!m_readOk)
        return stop(m_type == UpgradeTypeValMap.value(EUpgradeType_T0)
                        ? g_msgNotAPackage(m_devicePath)
                        : g_msgUnreadable());
    if (m_type.isEmpty())
        return stop(g_msgNoType());
    const QString builtInModel = UpgradeScanner::g_builtInModel();
    bool byGroup = false;
    const QString refusal = UpgradeScanner::g_modelRefusal(productModel, scannerType, builtInModel,
                                                           packageModel(), &byGroup);
    if (!refusal.isEmpty())
        return stop(refusal);
    if (byGroup)
        result.hazards << QStringLiteral("the package model %1 is not the device's own: only a "
                                         "compatibility group accepts it")
                              .arg(packageModel());
    messages << g_msgAccepted(productModel, scannerType, builtInModel, packageModel());
    progress.packageDeleted = true;
    messages << g_msgPackageDeleted(m_devicePath);

    if (!m_digestsChecked) {
        for (const PackItemInfo& item : qAsConst(m_items)) {
            m_digestFailure = UpgradeScanner::g_checkPackagedFile(
                UpgradeScanner::g_getFilenameFromPath(item.name()), item.md5(),
                local(QLatin1String(kUpgradeDir)));
            if (!m_digestFailure.isEmpty())
                break;
        }
        m_digestsChecked = true;
    }
    if (!m_digestFailure.isEmpty())
        return stop(m_digestFailure);
    messages << g_msgStart();
    if (m_type != UpgradeTypeValMap.value(EUpgradeType_T1))
        return stop(g_msgTypeRefused(m_type));
    if (m_items.size() != 1)
        return stop(g_msgFileCount(m_items.size()));

    const QString archive = QLatin1String(kUpgradeDir) +
                            UpgradeScanner::g_getFilenameFromPath(m_items.constFirst().name());
    progress.archive = archive;
    if (!QFile::exists(local(archive)))
        return stop(g_msgNoArchive(archive));
    messages << g_msgUnpack();
    result.tools.append(
        {QStringList{QStringLiteral("tar")} + UpgradeScanner::g_tarArguments(archive), QString(),
         QString(), false});
    if (!unpack(archive))
        return false;
    progress.unpacked = true;
    if (!QDir(local(QLatin1String(kOtaFileDir))).exists())
        return stop(g_msgNoOtaDir());
    if (!QFile::exists(local(QLatin1String(kOtaManifest))))
        return stop(g_msgNoManifest());
    progress.archiveDeleted = true;
    messages << g_msgVerify(archive);

    if (!m_verified) {
        m_verifyFailure =
            UpgradeScanner::g_verifyOtaTree(local(QLatin1String(kOtaFileDir)), m_otaFiles);
        m_verified = true;
    }
    QStringList paths;
    for (const st_otaFiles& entry : qAsConst(m_otaFiles))
        paths << entry.path;
    for (const StageHazard& hazard : stageHazards(paths, QLatin1String(kUpgradeDir)))
        result.hazards << hazard.text;
    result.hazards << treeHazards();
    if (!m_verifyFailure.isEmpty()) {
        messages << m_verifyFailure;
        return stop(g_msgVerifyFailed());
    }

    for (const st_otaStage& stage : UpgradeScanner::g_otaStages()) {
        const QString path = UpgradeScanner::g_stageFile(m_otaFiles, stage);
        if (path.isEmpty())
            continue;
        if (stage.stopBefore)
            result.tools.append({{QStringLiteral("killall"), QLatin1String(stage.stopBefore)},
                                 QString(),
                                 QString(),
                                 true});
        if (stage.startMessage)
            messages << QLatin1String(stage.startMessage) + path;
        result.waitMs += stage.waitBeforeMs + stage.sleepAfterS * 1000;
        if (stage.program)
            result.tools.append({QStringList{QLatin1String(stage.program)} +
                                     UpgradeScanner::g_stageArguments(stage, path),
                                 QString(), QString(), false});
        else
            result.tools.append({QStringList(), UpgradeScanner::g_stageCommand(stage, path),
                                 stage.destination ? QLatin1String(stage.destination) +
                                                         UpgradeScanner::g_getFilenameFromPath(path)
                                                   : QString(),
                                 false});
        if (stage.openAfter)
            result.tools.append(
                {{QStringLiteral("chmod"), QStringLiteral("777"), QLatin1String(stage.openAfter)},
                 QString(),
                 QString(),
                 true});
    }
    parameterStage(result);
    result.tools.append({QStringList(), QStringLiteral("sync"), QString(), false});
    progress.done = true;
    return stop(g_msgSuccess());
}

bool UpgradePlanner::planFleet(FleetPlan& result)
{
    QStringList models = UpgradeScanner::g_compatibleModels();
    if (!models.contains(UpgradeScanner::g_builtInModel()))
        models << UpgradeScanner::g_builtInModel();
    result = FleetPlan();
    UpgradePlan modelPlan;
    for (const QString& model : qAsConst(models)) {
        if (!plan(model, QString(), modelPlan))
            return false;
        const bool installs = modelPlan.verdict() == QLatin1String("UB99");
        result.models.append(
            {model, modelPlan.verdict(), installs ? QString() : modelPlan.messages.constLast()});
    }
    return true;
}
