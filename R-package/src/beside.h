// network() on a thread of its own while the R thread waits beside it,
// drawing the progress and watching for an interrupt.
#pragma once

#include <assocnet/assocnet.h>

#include <Rcpp.h>

#include <string>
#include <vector>

// Runs assocnet::network(data, options) on a worker thread; the R thread waits
// in slices of a few tens of milliseconds. After each slice it checks for a
// pending interrupt (Ctrl-C, Esc) and calls show(share) with the share of the
// sweep done when that has moved. An interrupt cancels the run, waits for the
// worker to end and is then signalled to R again; an error of the run becomes
// an R error with its message. Warnings of a run that ends go to warnings.
// R's API is used on the calling thread only.
assocnet::Result networkBeside(const assocnet::Data& data, const assocnet::Options& options,
                               Rcpp::Nullable<Rcpp::Function> show,
                               std::vector<std::string>& warnings);
