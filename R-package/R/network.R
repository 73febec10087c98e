# network() and coefficients(): the arguments checked, one run of the statistics
# beside the R thread, and its result as a data.frame of edges or a matrix.

network <- function(x, method = "pearson", order = 1, alpha = c(0.01, 0.001, 1e-4), fdr = NULL,
                    prune_alpha = 0.05, samples_in_rows = FALSE, missing = "refuse",
                    threads = NULL, progress = interactive(), assay_name = 1L) {
  if (!is.null(fdr) && !base::missing(alpha))
    stop("give alpha or fdr, not both", call. = FALSE)
  run <- run_network(x, method, order, if (is.null(fdr)) alpha else fdr, !is.null(fdr),
                     prune_alpha, samples_in_rows, missing, threads, progress, assay_name,
                     edges = TRUE)
  e <- run$edges
  level <- structure(e$level, levels = run$levels$name, class = c("ordered", "factor"))
  net <- data.frame(source = run$genes[e$i], target = run$genes[e$j], r = e$r, p = e$p, q = e$q,
                    level = level, stringsAsFactors = FALSE)
  attr(net, "genes") <- run$genes
  attr(net, "samples") <- run$samples
  attr(net, "dropped_genes") <- data.frame(run$dropped_genes, stringsAsFactors = FALSE)
  attr(net, "dropped_samples") <- run$dropped_samples
  attr(net, "dropped") <- run$dropped
  attr(net, "method") <- run$method
  attr(net, "order") <- run$order
  attr(net, "prune_alpha") <- prune_alpha
  attr(net, "prune_threshold") <- run$prune_threshold
  attr(net, "levels") <- data.frame(run$levels, stringsAsFactors = FALSE)
  attr(net, "seconds") <- run$seconds
  net
}

coefficients <- function(x, method = "pearson", order = 1, prune_alpha = 0.05,
                         samples_in_rows = FALSE, missing = "refuse", threads = NULL,
                         progress = interactive(), assay_name = 1L, ...) {
  # A model fit, as stats::coefficients() takes it, when this package is attached.
  if (is.list(x) && !is.data.frame(x)) return(stats::coefficients(x, ...))
  # The levels play no part; the pruning level is always a valid one.
  run <- run_network(x, method, order, prune_alpha, FALSE, prune_alpha, samples_in_rows, missing,
                     threads, progress, assay_name, coefficients = TRUE)
  dimnames(run$coefficients) <- list(run$genes, run$genes)
  run$coefficients
}

# One call of the statistics: the arguments checked, x read, the run made
# beside the R thread (with a progress bar), its warnings given.
run_network <- function(x, method, order, levels, fdr, prune_alpha, samples_in_rows, missing,
                        threads, progress, assay_name, edges = FALSE, coefficients = FALSE) {
  method <- match.arg(method, c("pearson", "spearman"))
  missing <- match.arg(missing, c("refuse", "drop-genes", "drop-samples"))
  order <- whole_number(order, "order")
  if (is.null(threads)) threads <- getOption("assocnet.threads", 0L)
  threads <- whole_number(threads, "threads")
  if (!is.numeric(levels) || !length(levels))
    stop(if (fdr) "fdr" else "alpha", " must be numbers", call. = FALSE)
  if (!is.numeric(prune_alpha) || length(prune_alpha) != 1)
    stop("prune_alpha must be one number", call. = FALSE)
  samples_in_rows <- flag(samples_in_rows, "samples_in_rows")
  progress <- flag(progress, "progress")

  v <- expression_values(x, samples_in_rows, assay_name)
  show <- NULL
  if (progress) {
    bar <- utils::txtProgressBar(min = 0, max = 1, style = 3)
    on.exit(close(bar))
    show <- function(share) utils::setTxtProgressBar(bar, share)
  }
  run <- .network_run(v$values, if (samples_in_rows) v$columns else v$rows,
                      if (samples_in_rows) v$rows else v$columns, samples_in_rows, method, order,
                      as.numeric(levels), fdr, as.numeric(prune_alpha), missing, threads, show,
                      edges, coefficients)
  if (progress) show(1)
  for (w in run$warnings) warning(w, call. = FALSE)
  run$method <- method
  run$order <- order
  run
}

whole_number <- function(x, what) {
  if (!is.numeric(x) || length(x) != 1 || !is.finite(x) || x != round(x) ||
      abs(x) > .Machine$integer.max)
    stop(sprintf("%s must be a whole number, not %s", what, deparse(x)), call. = FALSE)
  as.integer(x)
}

flag <- function(x, what) {
  if (!is.logical(x) || length(x) != 1 || is.na(x))
    stop(sprintf("%s must be TRUE or FALSE", what), call. = FALSE)
  x
}
