# Times the R package against the command and against what an R user runs
# today for the same genes, in one run, at order 1 on the 1,000-gene and the
# full (12,625-gene) leukaemia tables:
#
#   network   assocnet::network(m, order = 1, threads = NULL) on a numeric
#             matrix m already in the session (genes in rows); the call only
#   command   assocnet -q -f edges -k 1 -o DIR -p run TABLE, the whole
#             process, which reads the table file and writes the edge table
#   WGCNA     WGCNA::cor(t(m)), correlations only (order 0), with
#             WGCNA::allowWGCNAThreads(cores) and cor's default threads
#   corpcor   corpcor::pcor.shrink(t(m), verbose = FALSE), a shrinkage
#             partial correlation of every pair given all other genes
#
#   Rscript bench/r_package.R --bin BUILD_DIR --data FOLDER [--reps N] [--lib RLIB]
#
# FOLDER holds leukemia-1000.txt and leukemia-full.txt.gz; RLIB is the library
# the assocnet package was installed into (R CMD INSTALL -l RLIB R-package),
# when it is not one of R's own. Each case runs in a fresh process, so that its
# peak resident memory is its own: the in-session cases in a fresh Rscript that
# loads its package and the matrix (saved once by this script with saveRDS),
# resets its peak (/proc/self/clear_refs) and reads VmRSS before the call and
# VmHWM after it; the command under /usr/bin/time (its maximum resident set).
# The cases alternate over N rounds (3 by default), each round starting one case
# further along, and the table gives medians. corpcor on the full table runs in
# the first round only: one call takes about 40 s and 5.6 GiB.
#
# It checks that the edges of network() are those of the command's
# run_edges.tsv (read with assocnet::read_edges()): source, target and level
# equal, r, p and q identical to the bit. It installs nothing: WGCNA and
# corpcor come from Debian (apt-get install r-cran-wgcna r-cran-corpcor), and
# it stops with that advice when they are missing.

status_mib <- function(key) {
  line <- grep(paste0("^", key, ":"), readLines("/proc/self/status"), value = TRUE)
  as.numeric(strsplit(line, "[[:space:]]+")[[1]][2]) / 1024
}

# One in-session case in a fresh Rscript: package loaded, matrix read, peak
# reset, then the call alone is timed. Prints one line starting "result".
child <- function(case, rds, reference) {
  switch(case,
         network = suppressPackageStartupMessages(library(assocnet)),
         WGCNA = {
           suppressPackageStartupMessages(library(WGCNA))
           invisible(utils::capture.output(allowWGCNAThreads(parallel::detectCores())))
         },
         corpcor = suppressPackageStartupMessages(library(corpcor)))
  m <- readRDS(rds)
  invisible(gc())
  # Without the right to reset the peak, it counts from the start of the process.
  try(writeLines("5", "/proc/self/clear_refs"), silent = TRUE)
  before <- status_mib("VmRSS")
  start <- proc.time()[["elapsed"]]
  result <- switch(case,
                   network = assocnet::network(m, order = 1, threads = NULL, progress = FALSE),
                   WGCNA = WGCNA::cor(t(m)),
                   corpcor = corpcor::pcor.shrink(t(m), verbose = FALSE))
  seconds <- proc.time()[["elapsed"]] - start
  peak <- status_mib("VmHWM")
  edges <- NA
  same <- NA
  if (case == "network") {
    edges <- nrow(result)
    if (file.exists(reference)) {
      expected <- assocnet::read_edges(reference)
      bits <- function(a, b) identical(a, b, num.eq = FALSE)
      same <- nrow(result) == nrow(expected) &&
        identical(result$source, expected$source) && identical(result$target, expected$target) &&
        bits(result$r, expected$r) && bits(result$p, expected$p) && bits(result$q, expected$q) &&
        identical(as.character(result$level), as.character(expected$level))
    }
  }
  cat(sprintf("result %.6f %.3f %.3f %s %s\n", seconds, before, peak, edges, same))
}

run_child <- function(script, lib, case, rds, reference) {
  rscript <- file.path(R.home("bin"), "Rscript")
  out <- suppressWarnings(system2(rscript, c(shQuote(script), "--child", case, shQuote(rds),
                                             shQuote(reference), if (nzchar(lib)) shQuote(lib)),
                                  stdout = TRUE, stderr = TRUE))
  line <- grep("^result ", out, value = TRUE)
  if (length(line) != 1)
    stop(sprintf("%s on %s failed:\n%s", case, rds, paste(out, collapse = "\n")), call. = FALSE)
  f <- strsplit(line, " ")[[1]]
  list(seconds = as.numeric(f[2]), before = as.numeric(f[3]), peak = as.numeric(f[4]),
       edges = suppressWarnings(as.numeric(f[5])), same = as.logical(f[6]))
}

run_command <- function(bin, table, out) {
  dir.create(out, recursive = TRUE, showWarnings = FALSE)
  rss <- file.path(out, ".rss")
  start <- proc.time()[["elapsed"]]
  status <- system2("/usr/bin/time", c("-f", "%M", "-o", shQuote(rss), shQuote(file.path(bin, "assocnet")),
                                       "-q", "-f", "edges", "-k", "1", "-o", shQuote(out), "-p", "run",
                                       shQuote(table)))
  seconds <- proc.time()[["elapsed"]] - start
  if (status != 0) stop(sprintf("assocnet on %s ended with status %d", table, status), call. = FALSE)
  list(seconds = seconds, before = NA, peak = as.numeric(utils::tail(readLines(rss), 1)) / 1024,
       edges = NA, same = NA)
}

options_of <- function(args) {
  o <- list(bin = NULL, data = NULL, reps = 3L, lib = "")
  i <- 1
  while (i <= length(args)) {
    key <- sub("^--", "", args[i])
    if (!key %in% names(o) || i == length(args))
      stop("usage: Rscript r_package.R --bin BUILD_DIR --data FOLDER [--reps N] [--lib RLIB]",
           call. = FALSE)
    o[[key]] <- args[i + 1]
    i <- i + 2
  }
  if (is.null(o$bin) || is.null(o$data))
    stop("usage: Rscript r_package.R --bin BUILD_DIR --data FOLDER [--reps N] [--lib RLIB]",
         call. = FALSE)
  o$reps <- as.integer(o$reps)
  o$bin <- normalizePath(o$bin, mustWork = TRUE)
  o$data <- normalizePath(o$data, mustWork = TRUE)
  if (nzchar(o$lib)) o$lib <- normalizePath(o$lib, mustWork = TRUE)
  o
}

main <- function(args) {
  o <- options_of(args)
  if (nzchar(o$lib)) .libPaths(c(o$lib, .libPaths()))
  if (!requireNamespace("assocnet", quietly = TRUE))
    stop("the assocnet package is not installed: R CMD INSTALL -l RLIB R-package, then --lib RLIB",
         call. = FALSE)
  missing <- Filter(function(p) !requireNamespace(p, quietly = TRUE), c("WGCNA", "corpcor"))
  if (length(missing))
    stop(sprintf("%s missing: apt-get install -y --no-install-recommends r-cran-wgcna r-cran-corpcor",
                 paste(missing, collapse = " and ")), call. = FALSE)
  if (!file.exists(file.path(o$bin, "assocnet")))
    stop(sprintf("no assocnet command in %s", o$bin), call. = FALSE)
  file_arg <- grep("^--file=", commandArgs(FALSE), value = TRUE)
  script <- normalizePath(sub("^--file=", "", file_arg[1]))

  work <- tempfile("assocnet-bench-r-")
  dir.create(work)
  on.exit(unlink(work, recursive = TRUE))
  tables <- list(list(file = "leukemia-1000.txt", genes = 1000),
                 list(file = "leukemia-full.txt.gz", genes = 12625))
  cases <- c("command", "network", "WGCNA", "corpcor")
  rows <- list()
  identical_edges <- TRUE
  for (t in tables) {
    table <- file.path(o$data, t$file)
    if (!file.exists(table)) next
    rds <- file.path(work, sprintf("%d.rds", t$genes))
    m <- as.matrix(utils::read.delim(gzfile(table), row.names = 1, check.names = FALSE))
    saveRDS(m, rds, compress = FALSE)
    rm(m)
    reference <- file.path(work, sprintf("%d-1", t$genes), "run_edges.tsv")
    runs <- setNames(lapply(cases, function(x) list()), cases)
    for (round in seq_len(o$reps)) {
      # The first round starts with the command, whose edges the others check.
      for (case in cases[(seq_along(cases) + round - 2) %% length(cases) + 1]) {
        if (case == "corpcor" && t$genes > 1000 && round > 1) next
        r <- if (case == "command") {
          run_command(o$bin, table, file.path(work, sprintf("%d-%d", t$genes, round)))
        } else {
          run_child(script, o$lib, case, rds, reference)
        }
        runs[[case]][[length(runs[[case]]) + 1]] <- r
      }
    }
    for (case in cases) {
      rs <- runs[[case]]
      med <- function(key) stats::median(vapply(rs, function(r) r[[key]], 0))
      note <- switch(case,
                     command = "reads the table, writes the edge table",
                     network = {
                       same <- vapply(rs, function(r) r$same, NA)
                       ok <- all(same %in% TRUE)
                       identical_edges <- identical_edges && ok
                       sprintf("%s edges, %s the command's", format(rs[[1]]$edges, big.mark = ","),
                               if (ok) "identical to" else "DIFFERENT from")
                     },
                     WGCNA = "order 0, full matrix",
                     corpcor = if (t$genes > 1000) "shrinkage partial correlation, full matrix; first round only (slow, big)"
                               else "shrinkage partial correlation, full matrix")
      rows[[length(rows) + 1]] <- data.frame(
        case = switch(case, command = "`assocnet -k 1 -f edges`", network = "`assocnet::network(m, order = 1)`",
                      WGCNA = "`WGCNA::cor(t(m))`", corpcor = "`corpcor::pcor.shrink(t(m))`"),
        genes = format(t$genes, big.mark = ","), runs = length(rs), seconds = sprintf("%.2f", med("seconds")),
        peak = sprintf("%.0f", med("peak")),
        before = if (case == "command") "" else sprintf("%.0f", med("before")),
        note = note, stringsAsFactors = FALSE)
    }
    unlink(file.path(work, sprintf("%d-*", t$genes)), recursive = TRUE)
  }
  cat("| case | genes | runs | seconds (median) | peak MiB | MiB before the call | note |\n")
  cat("|---|---|---|---|---|---|---|\n")
  for (r in rows)
    cat(sprintf("| %s | %s | %d | %s | %s | %s | %s |\n", r$case, r$genes, r$runs, r$seconds, r$peak,
                r$before, r$note))
  if (!identical_edges) quit(status = 1)
}

args <- commandArgs(TRUE)
if (length(args) >= 1 && args[1] == "--child") {
  if (length(args) >= 5) .libPaths(c(args[5], .libPaths()))
  child(args[2], args[3], args[4])
} else {
  main(args)
}
