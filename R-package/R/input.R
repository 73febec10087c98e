# The values of x as a double matrix and the names of its rows and columns,
# laid out as given (genes in rows, or samples with samples_in_rows). A double
# matrix is passed on as it is: the statistics read it in place.
expression_values <- function(x, samples_in_rows, assay_name) {
  if (methods::is(x, "ExpressionSet")) {
    needs("Biobase", "an ExpressionSet")
    x <- Biobase::exprs(x)
  } else if (methods::is(x, "SummarizedExperiment")) {
    needs("SummarizedExperiment", "a SummarizedExperiment")
    x <- SummarizedExperiment::assay(x, assay_name, withDimnames = TRUE)
  }
  if (is.data.frame(x) || is.character(x) || is.factor(x)) refuse_text(x, samples_in_rows)
  if (is.data.frame(x)) x <- as.matrix(x)
  if (!is.matrix(x)) x <- tryCatch(as.matrix(x), error = function(e) NULL)
  if (!is.matrix(x) || !(is.numeric(x) || is.logical(x)))
    stop("x must be a numeric matrix, a data.frame, an ExpressionSet or a SummarizedExperiment",
         call. = FALSE)
  if (storage.mode(x) != "double") storage.mode(x) <- "double"
  list(values = x, rows = names_or_none(rownames(x)), columns = names_or_none(colnames(x)))
}

names_or_none <- function(names) if (is.null(names)) character() else as.character(names)

needs <- function(package, what) {
  if (!requireNamespace(package, quietly = TRUE))
    stop(sprintf("reading %s needs the %s package", what, package), call. = FALSE)
}

# Stops at the first column of x (a data.frame or a text matrix) that is not
# numeric, naming its first cell that is not a number as the command does.
refuse_text <- function(x, samples_in_rows) {
  columns <- if (is.data.frame(x)) names(x) else colnames(x)
  rows <- rownames(x)
  for (k in seq_len(NCOL(x))) {
    column <- if (is.data.frame(x)) x[[k]] else x[, k]
    if (is.numeric(column) || is.logical(column)) next
    text <- as.character(column)
    bad <- which(!is.na(text) & is.na(suppressWarnings(as.numeric(text))))
    name <- if (length(columns)) columns[k] else as.character(k)
    if (!length(bad))
      stop(sprintf('column %d ("%s") holds numbers as text; convert it with as.numeric()', k, name),
           call. = FALSE)
    at <- bad[1]
    row <- if (length(rows)) rows[at] else as.character(at)
    where <- if (samples_in_rows) sprintf('gene "%s" (column %d), sample "%s"', name, k, row)
             else sprintf('gene "%s", sample "%s" (column %d)', row, name, k)
    stop(sprintf('%s: expected a number, found "%s"', where, text[at]), call. = FALSE)
  }
}
