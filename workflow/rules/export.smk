# The study's exports: with `export:` set (a list of formats of `sensconv -export`), every
# converted folder's sessions are exported into their part_NN/export/ folders once the
# folder's conversion has succeeded. Included by workflow/Snakefile after its rules.

EXPORT_FORMATS = [str(f) for f in (config.get("export") or [])]
EXPORT_FOLDER = os.path.join(workflow.basedir, "scripts", "export_folder.py")
EXPORT_DONE = "sensconv.exported"
EXPORT_LOG = "sensconv-export.log"

for _format in EXPORT_FORMATS:
    if _format not in ("edf", "netcdf", "all"):
        raise WorkflowError(f"export: {_format!r} is not a format of sensconv -export (edf, netcdf or all)")


def export_records():
    """The record of every folder's export; none without `export:`."""
    if not EXPORT_FORMATS:
        return []
    return [os.path.join(folder, EXPORT_DONE) for folder in study_folders()]


rule export:
    input:
        "{folder}/" + study_summary.DONE_RECORD,
    output:
        "{folder}/" + EXPORT_DONE,
    log:
        "{folder}/" + EXPORT_LOG,
    params:
        converter=SENSCONV,
        formats=EXPORT_FORMATS,
    threads: 1
    resources:
        mem_mb=lambda wildcards: int(config.get("mem_mb", 512)),
        runtime=lambda wildcards, attempt: int(config.get("runtime_base_minutes", 10)) * 6 * 2 ** (attempt - 1),
    shell:
        "{PYTHON:q} {EXPORT_FOLDER:q} --converter={params.converter:q} --outdir={wildcards.folder:q}"
        " --log={log:q} --done={output:q} -- {params.formats:q}"
